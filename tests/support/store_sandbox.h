#pragma once

#include <QString>

#ifdef Q_OS_WIN
#include <QMap>
#include <QVariant>
#else
#include <QByteArray>
#include <QTemporaryDir>
#endif

// Keeps the settings store away from the user's own settings for as long as
// it lives. On Windows the registry has no folder to swap: the application's
// key is emptied and then given back its old values. Elsewhere the store is
// pointed at a fresh temporary config dir.
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
#endif

private:
#ifdef Q_OS_WIN
    QMap<QString, QVariant> m_saved;
#else
    QTemporaryDir m_dir;
    QByteArray m_previous;
    bool m_hadPrevious;
#endif
};
