#include "platform/serial/serial_comm_control.h"

#include "platform/serial/posix/posix_comm_control.h"

namespace platform {

std::unique_ptr<CommControl> CreateSerialCommControl(const QString &portMapApplication, QObject *parent)
{
    return std::make_unique<PosixCommControl>(portMapApplication, parent);
}

} // namespace platform
