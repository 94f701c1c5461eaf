#pragma once

#include <QString>

#ifdef Q_OS_WIN
#include <QMap>
#include <QVariant>
#else
#include <QByteArray>
#include <QTemporaryDir>
#endif

// Keeps the settings store away from the user's own settings, and from the
// machine's, for as long as it lives. On Windows the registry has no folder to
// swap: the application's keys (the user's and the machine's) are emptied and
// then given back their old values. Elsewhere the store is pointed at a fresh
// temporary config dir, and the machine-wide folders at one of its own.
class StoreSandbox
{
public:
    StoreSandbox();
    ~StoreSandbox();
    StoreSandbox(const StoreSandbox &) = delete;
    StoreSandbox &operator=(const StoreSandbox &) = delete;

#ifndef Q_OS_WIN
    QString configDir() const { return m_dir.path(); }
    QString iniFile(const QString &application) const;
    // The one folder of $XDG_CONFIG_DIRS while the sandbox lives.
    QString machineDir() const { return m_machineDir.path(); }
#endif

private:
#ifdef Q_OS_WIN
    QMap<QString, QVariant> m_saved;
    QMap<QString, QVariant> m_savedMachine;
#else
    QTemporaryDir m_dir;
    QTemporaryDir m_machineDir;
    QByteArray m_previous;
    bool m_hadPrevious;
    QByteArray m_previousDirs;
    bool m_hadPreviousDirs;
#endif
};
