#pragma once

#include <QtGlobal>

// What the network port asks of its TCP socket beyond Qt's own options, by
// system. Where a system refuses one, the connection works all the same: a
// silent server is then noticed later, by the system's own timeouts, and the
// server's answers come later.
namespace platform::socket_tuning {

// A server that falls silent sends no reset: the system's keepalive notices it
// when nothing is under way, and the limit on unacknowledged data when a
// command is; both within about 15 s, as a pulled cable at the bench.
inline constexpr int KeepAliveIdleSeconds = 3;
inline constexpr int KeepAliveIntervalSeconds = 1;
inline constexpr int KeepAliveProbes = 8; // Windows always sends 10
inline constexpr int UnacknowledgedLimitSeconds = 10;

// The keepalive's timing and the limit on unacknowledged data, on a socket
// whose keepalive Qt has switched on.
void NoticeSilence(qintptr socket);

// A server that sends its answers in several small segments holds each back
// until the one before is acknowledged (Nagle), and a delayed acknowledgement
// waits 40 ms (Linux) to 200 ms (Windows): acknowledged at once, the
// negotiation takes a millisecond instead of a tenth of a second. Linux leaves
// this mode by itself, so it is asked for again before each wait.
void AcknowledgeAtOnce(qintptr socket);

} // namespace platform::socket_tuning
