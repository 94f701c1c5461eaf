#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

#ifdef Q_OS_WIN
#include "app_settings/settings_keys.h"
#include "platform/settings/settings_store.h"

#include <QMap>
#include <QSettings>
#include <QVariant>

// The registry has no folder to swap: the application's key is emptied for as
// long as this lives and then given back its old values, so no test ever
// reads or writes the user's own settings.
class StoreSandbox
{
public:
    StoreSandbox()
    {
        QSettings key(registryKey(), QSettings::NativeFormat);
        for (const QString &name : key.allKeys())
            m_saved.insert(name, key.value(name));
        key.remove(QString());
    }
    ~StoreSandbox()
    {
        QSettings key(registryKey(), QSettings::NativeFormat);
        key.remove(QString());
        for (auto it = m_saved.cbegin(); it != m_saved.cend(); ++it)
            key.setValue(it.key(), it.value());
    }
    StoreSandbox(const StoreSandbox &) = delete;
    StoreSandbox &operator=(const StoreSandbox &) = delete;

private:
    static QString registryKey() { return platform::SettingsStore::location(settings_keys::Application); }

    QMap<QString, QVariant> m_saved;
};

#else

// Points the settings store at a fresh temporary config dir for as long as it
// lives, so no test ever reads or writes the user's own settings.
class StoreSandbox
{
public:
    StoreSandbox()
        : m_previous(qgetenv("XDG_CONFIG_HOME"))
        , m_hadPrevious(qEnvironmentVariableIsSet("XDG_CONFIG_HOME"))
    {
        qputenv("XDG_CONFIG_HOME", m_dir.path().toLocal8Bit());
    }
    ~StoreSandbox()
    {
        if (m_hadPrevious)
            qputenv("XDG_CONFIG_HOME", m_previous);
        else
            qunsetenv("XDG_CONFIG_HOME");
    }
    StoreSandbox(const StoreSandbox &) = delete;
    StoreSandbox &operator=(const StoreSandbox &) = delete;

    QString configDir() const { return m_dir.path(); }
    QString iniFile(const QString &application) const
    {
        return m_dir.path() + QLatin1Char('/') + application + QStringLiteral(".ini");
    }

private:
    QTemporaryDir m_dir;
    QByteArray m_previous;
    bool m_hadPrevious;
};

#endif
