#pragma once

#include "platform/serial/serial_device.h"

#include <QString>

#include <sys/stat.h>

// What a terminal device's open failures are called, by number and in words
// that name the device and what the user can do about it.
namespace platform::open_errors {

CommError InvalidPortNumber();
CommError SystemConsole(const QString &path);
CommError InUse(const QString &path, const QString &detail = QString());
CommError CannotOpen(const QString &path, const QString &reason);
CommError SettingsRejected(const QString &path, const QString &settings, const QString &reason);
// Names the group that may use the device, which is what the user has to join.
QString PermissionDenied(const struct stat &info);
// The failure of open(2) with `error` on the device that `info` describes.
CommError OpenFailure(const QString &path, int error, const struct stat &info);

} // namespace platform::open_errors
