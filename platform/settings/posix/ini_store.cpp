// The store on POSIX systems: one INI file per application in the user's
// config folder, changed under a lock and replaced in one step.
#include "platform/settings/settings_store.h"

#include "platform/settings/ini_text.h"
#include "platform/settings/name_rules.h"
#include "platform/settings/posix/store_files.h"

#include <QDir>
#include <QFileInfo>

#include <functional>

namespace platform {

namespace {

using store_files::FileState;

QString configDirectory()
{
    const QString xdg = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (!xdg.isEmpty() && QDir::isAbsolutePath(xdg))
        return xdg;
    return QDir::homePath() + QStringLiteral("/.config");
}

QString iniPath(const QString &application)
{
    return configDirectory() + QLatin1Char('/') + application + QStringLiteral(".ini");
}

// A file that cannot be text at all is damaged: nothing in it is trusted. A
// line that is not UTF-8 costs only itself (IniText keeps it as it stands).
FileState loadIni(const QString &path, IniText *ini)
{
    QByteArray bytes;
    const FileState state = store_files::readBounded(path, &bytes);
    if (state != FileState::Readable)
        return state;
    return ini->parse(bytes) ? FileState::Readable : FileState::Damaged;
}

// What a change does with a store that is damaged.
enum class OnDamage {
    // Start afresh rather than refuse every write, but only once the old bytes
    // are kept for a look.
    StartAfresh,
    // Keep the file as it is for a look; every key in it reads as missing already.
    LeaveAlone,
};

// Reads, changes and replaces the store under one lock, so that two programs
// writing at once never lose each other's keys. change edits the text and says
// whether it changed anything; nothing changed is nothing to save.
bool changeStore(const QString &path, OnDamage onDamage, const std::function<bool(IniText &)> &change)
{
    const store_files::StoreLock lock(path);
    if (!lock.isHeld())
        return false;
    IniText ini;
    switch (loadIni(path, &ini)) {
    case FileState::Missing:
    case FileState::Readable:
        break;
    case FileState::Unreadable:
        return false;
    case FileState::Damaged:
        if (onDamage == OnDamage::LeaveAlone)
            return true;
        if (!store_files::keepDamagedCopy(path))
            return false;
        break;
    }
    return !change(ini) || store_files::replaceFile(path, ini.toBytes());
}

std::optional<QString> valueIn(const QString &path, const QString &section, const QString &key)
{
    IniText ini;
    if (loadIni(path, &ini) != FileState::Readable)
        return std::nullopt;
    return ini.value(section, key);
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
    return valueIn(iniPath(application), section, key);
}

QStringList SettingsStore::machineLocations(const QString &application)
{
    QStringList folders;
    // As the XDG base directory rule says: relative entries are ignored.
    for (const QString &folder : qEnvironmentVariable("XDG_CONFIG_DIRS").split(u':', Qt::SkipEmptyParts)) {
        if (QDir::isAbsolutePath(folder))
            folders << QDir::cleanPath(folder) + u'/' + application + QStringLiteral(".ini");
    }
    if (folders.isEmpty())
        folders << QStringLiteral("/etc/xdg/") + application + QStringLiteral(".ini");
    return folders;
}

std::optional<QString> SettingsStore::findMachineWide(const QString &application, const QString &section,
                                                      const QString &key, QString *origin)
{
    if (!namesAreUsable(section, key))
        return std::nullopt;
    for (const QString &path : machineLocations(application)) {
        if (const std::optional<QString> value = valueIn(path, section, key)) {
            if (origin)
                *origin = path;
            return value;
        }
    }
    return std::nullopt;
}

bool SettingsStore::write(const QString &application, const QString &section, const QString &key,
                          const QString &value)
{
    if (!namesAreUsable(section, key) || !valueFault(value).isEmpty())
        return false;
    const QString path = iniPath(application);
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    return changeStore(path, OnDamage::StartAfresh, [&](IniText &ini) {
        ini.set(section, key, value);
        return true;
    });
}

bool SettingsStore::remove(const QString &application, const QString &section, const QString &key)
{
    if (!namesAreUsable(section, key))
        return false;
    const QString path = iniPath(application);
    // Nothing to remove, and no lock file to leave in a folder without a store.
    if (store_files::isMissing(path))
        return true;
    return changeStore(path, OnDamage::LeaveAlone, [&](IniText &ini) { return ini.remove(section, key); });
}

QString SettingsStore::location(const QString &application)
{
    return iniPath(application);
}

} // namespace platform
