#include "platform/serial/posix/system_console.h"

#include <QFile>

#include <algorithm>
#include <optional>

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

bool IsActiveConsole(dev_t device, const QStringList &consoles)
{
    return std::any_of(consoles.cbegin(), consoles.cend(), [device](const QString &name) {
        const std::optional<dev_t> console = terminalDevice(name);
        return console && *console == device;
    });
}

} // namespace platform
