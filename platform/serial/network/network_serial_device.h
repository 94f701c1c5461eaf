#pragma once

namespace platform {

// The longest that an open may take: the name lookup, the connection and the
// negotiation together.
inline constexpr int NetworkOpenTimeoutMs = 3000;

// The device itself is made by CreateNetworkSerialDevice (serial_comm_control.h).

} // namespace platform
