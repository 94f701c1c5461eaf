// The store on Windows: string values in the registry.
#include "platform/settings/settings_store.h"

#include "platform/settings/name_rules.h"

#include <QSettings>

namespace platform {

namespace {

// Existing installations keep their values here; keeping the path keeps the
// instructor's password and port across an upgrade.
QString registryPath(const QString &application)
{
    return QStringLiteral("HKEY_CURRENT_USER\\Software\\VB and VBA Program Settings\\") + application;
}

} // namespace

QString SettingsStore::read(const QString &application, const QString &section, const QString &key,
                            const QString &defaultValue)
{
    if (!namesAreUsable(section, key))
        return defaultValue;
    QSettings settings(registryPath(application), QSettings::NativeFormat);
    settings.beginGroup(section);
    const QVariant value = settings.value(key);
    if (!value.isValid() || settings.status() != QSettings::NoError)
        return defaultValue;
    return value.toString();
}

bool SettingsStore::write(const QString &application, const QString &section, const QString &key,
                          const QString &value)
{
    if (!namesAreUsable(section, key) || !valueFault(value).isEmpty())
        return false;
    QSettings settings(registryPath(application), QSettings::NativeFormat);
    settings.beginGroup(section);
    settings.setValue(key, value); // a QString is stored as REG_SZ
    settings.endGroup();
    settings.sync();
    return settings.status() == QSettings::NoError;
}

bool SettingsStore::remove(const QString &application, const QString &section, const QString &key)
{
    if (!namesAreUsable(section, key))
        return false;
    QSettings settings(registryPath(application), QSettings::NativeFormat);
    settings.beginGroup(section);
    settings.remove(key);
    const bool emptied = settings.childKeys().isEmpty() && settings.childGroups().isEmpty();
    settings.endGroup();
    if (emptied)
        settings.remove(section);
    settings.sync();
    return settings.status() == QSettings::NoError;
}

QString SettingsStore::location(const QString &application)
{
    return registryPath(application);
}

} // namespace platform
