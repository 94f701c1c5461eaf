#pragma once

#include <QStringList>

#include <sys/types.h>

// The terminals that are the machine's own console: never opened as a serial
// port, whatever name they are mapped under, since taking one over would
// reconfigure and write to the console.
namespace platform {

// The terminals that are active system consoles now, as names under /dev
// ("ttyS0", "tty1"), from the kernel's lists.
QStringList ActiveSystemConsoles();

// Whether the terminal with device number `device` is one of `consoles`.
bool IsActiveConsole(dev_t device, const QStringList &consoles);

} // namespace platform
