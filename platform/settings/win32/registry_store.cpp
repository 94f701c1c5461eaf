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

// What lab IT deploys for every user of the PC, by Group Policy say.
QString machinePath(const QString &application)
{
    return QStringLiteral("HKEY_LOCAL_MACHINE\\SOFTWARE\\") + application;
}

std::optional<QString> valueIn(QSettings &settings, const QString &section, const QString &key)
{
    settings.beginGroup(section);
    const QVariant value = settings.value(key);
    if (!value.isValid() || settings.status() != QSettings::NoError)
        return std::nullopt;
    return value.toString();
}

} // namespace

QString SettingsStore::read(const QString &application, const QString &section, const QString &key,
                            const QString &defaultValue)
{
    return find(application, section, key).value_or(defaultValue);
}

std::optional<QString> SettingsStore::find(const QString &application, const QString &section, const QString &key)
{
    if (!namesAreUsable(section, key))
        return std::nullopt;
    QSettings settings(registryPath(application), QSettings::NativeFormat);
    return valueIn(settings, section, key);
}

QStringList SettingsStore::machineLocations(const QString &application)
{
    return {machinePath(application)};
}

std::optional<QString> SettingsStore::findMachineWide(const QString &application, const QString &section,
                                                      const QString &key, QString *origin)
{
    if (!namesAreUsable(section, key))
        return std::nullopt;
    // The 64-bit view, so that a policy written for 64-bit programs is seen by ours whatever its build.
    QSettings settings(machinePath(application), QSettings::Registry64Format);
    const std::optional<QString> value = valueIn(settings, section, key);
    if (value && origin)
        *origin = QStringLiteral("%1\\%2 (value %3)").arg(machinePath(application), section, key);
    return value;
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
