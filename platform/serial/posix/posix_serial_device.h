#pragma once

#include "platform/serial/posix/system_console.h"
#include "platform/serial/serial_device.h"

#include <QList>
#include <QStringList>

#include <functional>
#include <memory>

namespace platform {

// Running counts of line-state transitions and receive errors, as a serial
// driver keeps them; they only grow while the port stays open.
struct LineCounters
{
    int cts = 0;
    int dsr = 0;
    int cd = 0;
    int ring = 0;
    int breaks = 0;
    int frame = 0;
    int overrun = 0;
    int bufferOverrun = 0;
    int parity = 0;
};

// The comm_event codes for what happened between two readings: one per counter
// that moved, however far, so a pulse too short to see as a state still counts.
QList<qint16> LineEventsBetween(const LineCounters &before, const LineCounters &after);

// A terminal device, driven through termios on one descriptor, which never
// takes over one of the terminals `consoles` names (tests give their own list).
using ConsoleList = std::function<QStringList()>;
std::unique_ptr<SerialDevice> CreatePosixSerialDevice(ConsoleList consoles = ActiveSystemConsoles);

} // namespace platform
