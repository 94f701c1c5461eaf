#pragma once

#include <QStringList>

// The terminals that are the machine's own console: never opened as a serial
// port, whatever name they are mapped under, since taking one over would
// reconfigure and write to the console.
namespace platform {

// The terminals that are active system consoles now, as names under /dev
// ("ttyS0", "tty1"), from the kernel's lists.
QStringList ActiveSystemConsoles();

// Whether the open terminal `fd` is one of `consoles`: the device it is, or the
// terminal it stands for (/dev/tty, /dev/console).
bool LeadsToActiveConsole(int fd, const QStringList &consoles);

} // namespace platform
