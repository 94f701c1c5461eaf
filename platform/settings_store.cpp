#include "settings_store.h"

#ifdef Q_OS_WIN
#include <QSettings>
#else
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QSaveFile>
#include <QStringDecoder>
#include <QStringList>
#endif

namespace platform {

namespace {

bool isStorable(const QString &value)
{
    if (value.contains(QLatin1Char('\n')) || value.contains(QLatin1Char('\r'))
        || value.contains(QChar(0)))
        return false;
    return value == value.trimmed();
}

} // namespace

#ifdef Q_OS_WIN

// Existing installations keep their values here; keeping the path keeps the
// instructor's password and port across an upgrade.
static QString registryPath(const QString &application)
{
    return QStringLiteral("HKEY_CURRENT_USER\\Software\\VB and VBA Program Settings\\") + application;
}

QString SettingsStore::read(const QString &application, const QString &section, const QString &key,
                            const QString &defaultValue)
{
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
    if (!isStorable(value))
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

#else

namespace {

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

// The file as lines, parsed just enough to find sections and keys; every other
// line (comments, blanks, what a user typed by hand) is kept as it stands.
struct IniLines
{
    QStringList lines;

    static bool sectionName(const QString &line, QString *name)
    {
        const QString trimmed = line.trimmed();
        if (trimmed.size() < 2 || !trimmed.startsWith(QLatin1Char('['))
            || !trimmed.endsWith(QLatin1Char(']')))
            return false;
        *name = trimmed.mid(1, trimmed.size() - 2).trimmed();
        return true;
    }

    static bool keyValue(const QString &line, QString *key, QString *value)
    {
        const QString trimmed = line.trimmed();
        if (trimmed.startsWith(QLatin1Char(';')) || trimmed.startsWith(QLatin1Char('#')))
            return false;
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (equals <= 0)
            return false;
        *key = line.left(equals).trimmed();
        *value = line.mid(equals + 1).trimmed();
        return !key->isEmpty();
    }

    // Index of the key's line in the section, or -1. sectionEnd gets the index
    // after the section's last key line, or -1 when the section is absent.
    qsizetype find(const QString &section, const QString &key, qsizetype *sectionEnd) const
    {
        bool inSection = false;
        *sectionEnd = -1;
        for (qsizetype i = 0; i < lines.size(); ++i) {
            QString name, k, v;
            if (sectionName(lines[i], &name)) {
                inSection = name.compare(section, Qt::CaseInsensitive) == 0;
                if (inSection)
                    *sectionEnd = i + 1;
            } else if (inSection && keyValue(lines[i], &k, &v)) {
                if (k.compare(key, Qt::CaseInsensitive) == 0)
                    return i;
                *sectionEnd = i + 1;
            }
        }
        return -1;
    }

    void set(const QString &section, const QString &key, const QString &value)
    {
        const QString line = key + QLatin1Char('=') + value;
        qsizetype sectionEnd = -1;
        const qsizetype at = find(section, key, &sectionEnd);
        if (at >= 0) {
            lines[at] = line;
        } else if (sectionEnd >= 0) {
            lines.insert(sectionEnd, line);
        } else {
            while (!lines.isEmpty() && lines.last().trimmed().isEmpty())
                lines.removeLast();
            if (!lines.isEmpty())
                lines.append(QString());
            lines.append(QLatin1Char('[') + section + QLatin1Char(']'));
            lines.append(line);
        }
    }

    // Drops every line of the key in the section, so that no later copy shows
    // through, and then each such section that holds nothing but blank lines.
    // False when there was nothing to drop.
    bool remove(const QString &section, const QString &key)
    {
        QStringList kept;
        QList<qsizetype> touchedHeaders;
        bool inSection = false;
        qsizetype header = -1;
        for (const QString &line : std::as_const(lines)) {
            QString name, k, v;
            if (sectionName(line, &name)) {
                inSection = name.compare(section, Qt::CaseInsensitive) == 0;
                header = kept.size();
            } else if (inSection && keyValue(line, &k, &v) && k.compare(key, Qt::CaseInsensitive) == 0) {
                if (touchedHeaders.isEmpty() || touchedHeaders.last() != header)
                    touchedHeaders.append(header);
                continue;
            }
            kept.append(line);
        }
        if (touchedHeaders.isEmpty())
            return false;

        for (qsizetype t = touchedHeaders.size() - 1; t >= 0; --t) {
            const qsizetype at = touchedHeaders[t];
            qsizetype end = at + 1;
            bool blank = true;
            QString name;
            for (; end < kept.size() && !sectionName(kept[end], &name); ++end)
                blank = blank && kept[end].trimmed().isEmpty();
            if (blank)
                kept.remove(at, end - at);
        }
        while (!kept.isEmpty() && kept.last().trimmed().isEmpty())
            kept.removeLast();
        lines = kept;
        return true;
    }
};

enum class FileState { Missing, Readable, Damaged };

// A file that is not UTF-8 text is damaged: nothing in it is trusted.
FileState loadIni(const QString &path, IniLines *ini)
{
    QFile file(path);
    if (!file.exists())
        return FileState::Missing;
    if (!file.open(QIODevice::ReadOnly))
        return FileState::Damaged;
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError || bytes.contains('\0'))
        return FileState::Damaged;
    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return FileState::Damaged;
    ini->lines = text.split(QLatin1Char('\n'));
    for (QString &line : ini->lines) {
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
    }
    if (!ini->lines.isEmpty() && ini->lines.last().isEmpty())
        ini->lines.removeLast();
    return FileState::Readable;
}

// The file holds the encoded password: owner only, and replaced in one step so
// that a reader or a crash never meets half a file.
bool saveIni(const QString &path, const IniLines &ini)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    if (!file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner))
        return false;
    if (!ini.lines.isEmpty())
        file.write((ini.lines.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8());
    return file.commit();
}

} // namespace

QString SettingsStore::read(const QString &application, const QString &section, const QString &key,
                            const QString &defaultValue)
{
    IniLines ini;
    if (loadIni(iniPath(application), &ini) != FileState::Readable)
        return defaultValue;
    qsizetype sectionEnd = -1;
    const qsizetype at = ini.find(section, key, &sectionEnd);
    QString k, value;
    if (at < 0 || !IniLines::keyValue(ini.lines[at], &k, &value))
        return defaultValue;
    return value;
}

bool SettingsStore::write(const QString &application, const QString &section, const QString &key,
                          const QString &value)
{
    if (!isStorable(value))
        return false;
    const QString path = iniPath(application);
    const QString directory = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(directory))
        return false;

    // Two programs may write at once: read, change and replace under one lock,
    // so neither loses the other's key.
    QLockFile lock(path + QStringLiteral(".lock"));
    if (!lock.tryLock(5000))
        return false;

    IniLines ini;
    if (loadIni(path, &ini) == FileState::Damaged) {
        // Start afresh rather than refuse every write, but keep the old file for a look.
        QFile::remove(path + QStringLiteral(".damaged"));
        QFile::copy(path, path + QStringLiteral(".damaged"));
        ini.lines.clear();
    }
    ini.set(section, key, value);
    return saveIni(path, ini);
}

bool SettingsStore::remove(const QString &application, const QString &section, const QString &key)
{
    const QString path = iniPath(application);
    if (!QFileInfo::exists(path))
        return true;
    QLockFile lock(path + QStringLiteral(".lock"));
    if (!lock.tryLock(5000))
        return false;
    IniLines ini;
    // A damaged file has no key to remove: every key in it reads as missing already.
    if (loadIni(path, &ini) != FileState::Readable || !ini.remove(section, key))
        return true;
    return saveIni(path, ini);
}

QString SettingsStore::location(const QString &application)
{
    return iniPath(application);
}

#endif

} // namespace platform
