#include "tests/support/store_sandbox.h"

#ifdef Q_OS_WIN
#include "app_settings/settings_keys.h"
#include "platform/settings/settings_store.h"

#include <QSettings>

namespace {

QString registryKey()
{
    return platform::SettingsStore::location(settings_keys::Application);
}

QString machineKey()
{
    return platform::SettingsStore::machineLocations(settings_keys::Application).first();
}

void empty(QSettings &key, QMap<QString, QVariant> *saved)
{
    for (const QString &name : key.allKeys())
        saved->insert(name, key.value(name));
    key.remove(QString());
}

void giveBack(QSettings &key, const QMap<QString, QVariant> &saved)
{
    key.remove(QString());
    for (auto it = saved.cbegin(); it != saved.cend(); ++it)
        key.setValue(it.key(), it.value());
}

} // namespace

StoreSandbox::StoreSandbox()
{
    QSettings key(registryKey(), QSettings::NativeFormat);
    empty(key, &m_saved);
    QSettings machine(machineKey(), QSettings::Registry64Format);
    empty(machine, &m_savedMachine);
}

StoreSandbox::~StoreSandbox()
{
    QSettings key(registryKey(), QSettings::NativeFormat);
    giveBack(key, m_saved);
    QSettings machine(machineKey(), QSettings::Registry64Format);
    giveBack(machine, m_savedMachine);
}

#else

StoreSandbox::StoreSandbox()
    : m_previous(qgetenv("XDG_CONFIG_HOME"))
    , m_hadPrevious(qEnvironmentVariableIsSet("XDG_CONFIG_HOME"))
    , m_previousDirs(qgetenv("XDG_CONFIG_DIRS"))
    , m_hadPreviousDirs(qEnvironmentVariableIsSet("XDG_CONFIG_DIRS"))
{
    qputenv("XDG_CONFIG_HOME", m_dir.path().toLocal8Bit());
    qputenv("XDG_CONFIG_DIRS", m_machineDir.path().toLocal8Bit());
}

StoreSandbox::~StoreSandbox()
{
    if (m_hadPrevious)
        qputenv("XDG_CONFIG_HOME", m_previous);
    else
        qunsetenv("XDG_CONFIG_HOME");
    if (m_hadPreviousDirs)
        qputenv("XDG_CONFIG_DIRS", m_previousDirs);
    else
        qunsetenv("XDG_CONFIG_DIRS");
}

QString StoreSandbox::iniFile(const QString &application) const
{
    return m_dir.path() + QLatin1Char('/') + application + QStringLiteral(".ini");
}

#endif
