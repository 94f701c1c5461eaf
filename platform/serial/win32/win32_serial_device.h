#pragma once

#include "platform/serial/serial_device.h"
#include "platform/serial/win32/win32_serial_port.h"

#include <memory>

namespace platform {

// The system's COMn over `engine` (any engine will do, so that the device is
// tested without Windows).
std::unique_ptr<SerialDevice> CreateWin32SerialDevice(std::unique_ptr<win32::SerialEngine> engine);

} // namespace platform
