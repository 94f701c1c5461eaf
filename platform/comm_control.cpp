#include "comm_control.h"

namespace platform {

void CommControl::postCommEvent(qint16 code)
{
    QMetaObject::invokeMethod(
        this,
        [this, code] {
            m_commEvent = code;
            emit OnComm();
        },
        Qt::QueuedConnection);
}

} // namespace platform
