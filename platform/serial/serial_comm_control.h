#pragma once

#include "platform/serial/comm_control.h"
#include "platform/serial/port_target.h"
#include "platform/serial/serial_device.h"

#include <memory>

namespace platform {

// The serial control the program uses: at each open, `resolve` says what the
// COM number leads to, and the port opens the system's own serial port or a
// serial server on the network. The caller owns the result; a parent only sets
// the thread and must outlive it.
std::unique_ptr<CommControl> CreateSerialCommControl(PortResolver resolve, QObject *parent = nullptr);

// The device that a target of the system's own kind opens: a terminal device
// on POSIX systems (posix/), the Win32 engine on Windows (win32/).
std::unique_ptr<SerialDevice> CreateSystemSerialDevice();

// The device that a COM number mapped to rfc2217://HOST:PORT or
// rfc2217s://HOST:PORT opens, in network/.
std::unique_ptr<SerialDevice> CreateNetworkSerialDevice();

} // namespace platform
