#pragma once

#include "comm_control.h"

#include <memory>

namespace platform {

// The serial port of the system the program runs on. The caller owns the
// result; a parent only sets the thread and must outlive it.
std::unique_ptr<CommControl> CreateSerialCommControl(QObject *parent = nullptr);

} // namespace platform
