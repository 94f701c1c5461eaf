#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

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
