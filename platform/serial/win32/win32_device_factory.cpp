#include "platform/serial/serial_comm_control.h"

#include "platform/serial/win32/win32_serial_device.h"
#include "platform/serial/win32/win32_serial_port.h"

namespace platform {

std::unique_ptr<SerialDevice> CreateSystemSerialDevice()
{
    return CreateWin32SerialDevice(win32::CreateWin32SerialEngine());
}

} // namespace platform
