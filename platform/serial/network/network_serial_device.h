#pragma once

#include "platform/serial/serial_device.h"

#include <memory>

namespace platform {

// The longest that an open may take: the name lookup, the connection and the
// negotiation together.
inline constexpr int NetworkOpenTimeoutMs = 3000;

// The device that a COM number mapped to rfc2217://HOST:PORT opens.
std::unique_ptr<SerialDevice> CreateNetworkSerialDevice();

} // namespace platform
