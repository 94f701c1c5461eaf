#include "platform/serial/posix/system_console.h"

#include <QFile>

#include <algorithm>
#include <optional>

#include <sys/ioctl.h>
#include <sys/stat.h>
#ifdef __linux__
#include <sys/sysmacros.h>
#endif

namespace platform {

namespace {

QByteArray readSystemFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The device number of terminal `name` under /dev, else as the kernel lists it.
std::optional<dev_t> terminalDevice(const QString &name)
{
    struct stat info {};
    if (::stat(QFile::encodeName(QStringLiteral("/dev/") + name).constData(), &info) == 0
        && S_ISCHR(info.st_mode))
        return info.st_rdev;
    QFile numbers(QStringLiteral("/sys/class/tty/%1/dev").arg(name));
    if (!numbers.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QList<QByteArray> parts = numbers.readAll().trimmed().split(':');
    bool majorOk = false;
    bool minorOk = false;
    const unsigned major = parts.value(0).toUInt(&majorOk);
    const unsigned minor = parts.value(1).toUInt(&minorOk);
    if (parts.size() != 2 || !majorOk || !minorOk)
        return std::nullopt;
    return makedev(major, minor);
}

// The terminal that an open /dev/tty or /dev/console stands for, whose own
// device number names neither; for any other terminal, itself.
std::optional<dev_t> underlyingTerminal(int fd)
{
#ifdef TIOCGDEV
    unsigned int encoded = 0;
    if (::ioctl(fd, TIOCGDEV, &encoded) == -1)
        return std::nullopt;
    // The kernel's 32-bit encoding: minor bits 0-7 and 20-31, major bits 8-19.
    return makedev((encoded >> 8) & 0xfffU, (encoded & 0xffU) | ((encoded >> 12) & 0xfff00U));
#else
    Q_UNUSED(fd);
    return std::nullopt;
#endif
}

} // namespace

QStringList ActiveSystemConsoles()
{
    QStringList names;
    const auto add = [&names](const QByteArray &name) {
        const QString text = QString::fromLocal8Bit(name.trimmed());
        if (!text.isEmpty() && !names.contains(text))
            names.append(text);
    };
    for (const QByteArray &name : readSystemFile(QStringLiteral("/sys/class/tty/console/active")).split(' '))
        add(name);
    // One console a line, its name first.
    for (const QByteArray &line : readSystemFile(QStringLiteral("/proc/consoles")).split('\n'))
        add(line.simplified().split(' ').value(0));
    // tty0 is whichever virtual terminal is in front.
    if (names.contains(QStringLiteral("tty0")))
        add(readSystemFile(QStringLiteral("/sys/class/tty/tty0/active")));
    return names;
}

bool LeadsToActiveConsole(int fd, const QStringList &consoles)
{
    struct stat info {};
    if (::fstat(fd, &info) == -1)
        return true; // unknown is never taken over
    QList<dev_t> devices{info.st_rdev};
    if (const std::optional<dev_t> behind = underlyingTerminal(fd))
        devices.append(*behind);
    return std::any_of(consoles.cbegin(), consoles.cend(), [&devices](const QString &name) {
        const std::optional<dev_t> console = terminalDevice(name);
        return console && devices.contains(*console);
    });
}

} // namespace platform
