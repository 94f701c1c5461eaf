#include "platform/serial/network/socket_tuning.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace platform::socket_tuning {

namespace {

template<typename Value>
[[maybe_unused]] void setTcpOption(qintptr socket, int option, Value value)
{
    ::setsockopt(int(socket), IPPROTO_TCP, option, &value, sizeof value);
}

} // namespace

void NoticeSilence(qintptr socket)
{
#ifdef TCP_KEEPIDLE
    setTcpOption(socket, TCP_KEEPIDLE, int(KeepAliveIdleSeconds));
#endif
#ifdef TCP_KEEPINTVL
    setTcpOption(socket, TCP_KEEPINTVL, int(KeepAliveIntervalSeconds));
#endif
#ifdef TCP_KEEPCNT
    setTcpOption(socket, TCP_KEEPCNT, int(KeepAliveProbes));
#endif
#ifdef TCP_USER_TIMEOUT
    setTcpOption(socket, TCP_USER_TIMEOUT, unsigned(UnacknowledgedLimitSeconds * 1000));
#endif
}

void AcknowledgeAtOnce(qintptr socket)
{
#ifdef TCP_QUICKACK
    setTcpOption(socket, TCP_QUICKACK, int(1));
#else
    Q_UNUSED(socket)
#endif
}

} // namespace platform::socket_tuning
