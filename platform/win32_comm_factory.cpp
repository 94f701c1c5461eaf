#include "platform/serial_comm_control.h"

#include "platform/win32/win32_serial_port.h"
#include "platform/win32_comm_control.h"

namespace platform {

std::unique_ptr<CommControl> CreateSerialCommControl(QObject *parent)
{
    return std::make_unique<Win32CommControl>(win32::CreateWin32SerialEngine(), parent);
}

} // namespace platform
