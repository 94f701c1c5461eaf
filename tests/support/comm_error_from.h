#pragma once

#include "platform/serial/comm_control.h"

#include <functional>
#include <optional>

// The CommError that `call` throws, if any; other exceptions pass on.
inline std::optional<platform::CommError> CommErrorFrom(const std::function<void()> &call)
{
    try {
        call();
    } catch (const platform::CommError &error) {
        return error;
    }
    return std::nullopt;
}
