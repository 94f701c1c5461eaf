#include "platform/serial/network/socket_tuning.h"

#include <winsock2.h>
#include <mstcpip.h>
#include <ws2tcpip.h>

// The Windows SDK's ws2ipdef.h has it; MinGW-w64's headers do not.
#ifndef TCP_MAXRT
#define TCP_MAXRT 5
#endif

namespace platform::socket_tuning {

void NoticeSilence(qintptr socket)
{
    tcp_keepalive values {};
    values.onoff = 1;
    values.keepalivetime = KeepAliveIdleSeconds * 1000;
    values.keepaliveinterval = KeepAliveIntervalSeconds * 1000;
    DWORD returned = 0;
    ::WSAIoctl(SOCKET(socket), SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned, nullptr, nullptr);
    const DWORD limit = UnacknowledgedLimitSeconds;
    ::setsockopt(SOCKET(socket), IPPROTO_TCP, TCP_MAXRT, reinterpret_cast<const char *>(&limit), sizeof limit);
}

void AcknowledgeAtOnce(qintptr socket)
{
#ifdef SIO_TCP_SET_ACK_FREQUENCY
    DWORD frequency = 1;
    DWORD returned = 0;
    ::WSAIoctl(SOCKET(socket), SIO_TCP_SET_ACK_FREQUENCY, &frequency, sizeof frequency, nullptr, 0, &returned,
               nullptr, nullptr);
#else
    Q_UNUSED(socket)
#endif
}

} // namespace platform::socket_tuning
