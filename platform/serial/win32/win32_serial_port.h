#pragma once

#include "platform/serial/win32/win32_serial_logic.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

// Standard C++ only: the Windows serial engine below the Qt adapter. This
// header names no Windows type, so the adapter builds on every platform.
namespace platform::win32 {

// Receives CommEvent codes. Called on the engine's worker thread, or on the
// thread whose call found the device gone; never after close() has returned.
using EventHandler = std::function<void(std::int16_t code)>;

// One serial port. Calls other than the handler come from one thread; failures
// are thrown as SerialFailure. A device that goes away is reported once per
// opening as comm_event::DeviceLost and the port then only fails; closing is
// left to the owner.
class SerialEngine
{
public:
    virtual ~SerialEngine() = default;

    // Opens COM<port> with the fields, discards what the driver holds, and
    // starts watching the line.
    virtual void open(int port, const DcbFields &fields, EventHandler onEvent) = 0;
    // Stops the watching, then releases the port. Harmless when closed.
    virtual void close() noexcept = 0;
    virtual bool isOpen() const = 0;
    // Returns once the driver has taken every byte.
    virtual void write(std::string_view bytes) = 0;
    // Bytes received and not yet read.
    virtual std::size_t bytesWaiting() = 0;
    // Removes and returns up to maxBytes (0: all) of what has been received,
    // without waiting for more.
    virtual std::string read(std::size_t maxBytes) = 0;
};

// The Win32 implementation; defined only in Windows builds.
std::unique_ptr<SerialEngine> CreateWin32SerialEngine();

} // namespace platform::win32
