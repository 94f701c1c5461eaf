#pragma once

#include "platform/serial/comm_control.h"

#include <memory>

namespace platform {

// The serial port of the system the program runs on. Where the system has no
// COM names, COM N opens the device that port_map maps it to in the settings
// of `portMapApplication`. The caller owns the result; a parent only sets the
// thread and must outlive it.
std::unique_ptr<CommControl> CreateSerialCommControl(const QString &portMapApplication,
                                                     QObject *parent = nullptr);

} // namespace platform
