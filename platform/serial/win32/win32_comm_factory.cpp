#include "platform/serial/serial_comm_control.h"

#include "platform/serial/win32/win32_comm_control.h"
#include "platform/serial/win32/win32_serial_port.h"

namespace platform {

// COM names are the system's own here: no port map is read.
std::unique_ptr<CommControl> CreateSerialCommControl(const QString &, QObject *parent)
{
    return std::make_unique<Win32CommControl>(win32::CreateWin32SerialEngine(), parent);
}

} // namespace platform
