#include "sleep.h"

#include <QThread>

namespace platform {

void Sleep(int milliseconds)
{
    QThread::msleep(static_cast<unsigned long>(milliseconds));
}

} // namespace platform
