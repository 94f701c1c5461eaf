#include "serial_comm_control.h"

#include <QtGlobal>

#ifndef Q_OS_WIN
#include "posix_comm_control.h"
#endif

namespace platform {

// The Windows definition lives with the Windows implementation, in its own file.
#ifndef Q_OS_WIN
std::unique_ptr<CommControl> CreateSerialCommControl(QObject *parent)
{
    return std::make_unique<PosixCommControl>(parent);
}
#endif

} // namespace platform
