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

} // namespace

StoreSandbox::StoreSandbox()
{
    QSettings key(registryKey(), QSettings::NativeFormat);
    for (const QString &name : key.allKeys())
        m_saved.insert(name, key.value(name));
    key.remove(QString());
}

StoreSandbox::~StoreSandbox()
{
    QSettings key(registryKey(), QSettings::NativeFormat);
    key.remove(QString());
    for (auto it = m_saved.cbegin(); it != m_saved.cend(); ++it)
        key.setValue(it.key(), it.value());
}

#else

StoreSandbox::StoreSandbox()
    : m_previous(qgetenv("XDG_CONFIG_HOME"))
    , m_hadPrevious(qEnvironmentVariableIsSet("XDG_CONFIG_HOME"))
{
    qputenv("XDG_CONFIG_HOME", m_dir.path().toLocal8Bit());
}

StoreSandbox::~StoreSandbox()
{
    if (m_hadPrevious)
        qputenv("XDG_CONFIG_HOME", m_previous);
    else
        qunsetenv("XDG_CONFIG_HOME");
}

QString StoreSandbox::iniFile(const QString &application) const
{
    return m_dir.path() + QLatin1Char('/') + application + QStringLiteral(".ini");
}

#endif
