#include "platform/serial/posix/open_errors.h"

#include "platform/serial/comm_codes.h"

#include <cerrno>

#include <grp.h>

namespace platform::open_errors {

CommError InvalidPortNumber()
{
    return {comm_error::InvalidPortNumber, QString::fromLatin1(comm_text::InvalidPortNumber)};
}

CommError SystemConsole(const QString &path)
{
    return {comm_error::InvalidPortNumber,
            QStringLiteral("Invalid port number: %1 is the system console").arg(path)};
}

CommError InUse(const QString &path, const QString &detail)
{
    QString description = QStringLiteral("%1 is in use by another program").arg(path);
    if (!detail.isEmpty())
        description += QStringLiteral(" (%1)").arg(detail);
    return {comm_error::PortInUse, description};
}

CommError CannotOpen(const QString &path, const QString &reason)
{
    return {comm_error::CannotOpen, QStringLiteral("Cannot open %1: %2").arg(path, reason)};
}

CommError SettingsRejected(const QString &path, const QString &settings, const QString &reason)
{
    return {comm_error::SettingsRejected,
            QStringLiteral("%1 does not accept the settings %2: %3").arg(path, settings, reason)};
}

QString PermissionDenied(const struct stat &info)
{
    const struct group *owner = ::getgrgid(info.st_gid);
    if (!owner)
        return QStringLiteral("permission denied");
    return QStringLiteral("permission denied; the user must be a member of the group %1")
        .arg(QString::fromLocal8Bit(owner->gr_name));
}

CommError OpenFailure(const QString &path, int error, const struct stat &info)
{
    switch (error) {
    case ENOENT:
    case ENOTDIR:
    case ENODEV:
    case ENXIO:
    case EIO:
        return InvalidPortNumber();
    case EBUSY:
        return InUse(path);
    case EACCES:
    case EPERM:
        return CannotOpen(path, PermissionDenied(info));
    default:
        return CannotOpen(path, qt_error_string(error));
    }
}

} // namespace platform::open_errors
