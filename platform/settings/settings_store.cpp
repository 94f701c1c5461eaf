#include "platform/settings/settings_store.h"

#ifdef Q_OS_WIN
#include <QSettings>
#else
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>
#include <QStringList>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace platform {

namespace {

bool hasLineBreak(const QString &text)
{
    return text.contains(QLatin1Char('\n')) || text.contains(QLatin1Char('\r'));
}

bool namesAreUsable(const QString &section, const QString &key)
{
    return SettingsStore::nameFault(section).isEmpty() && SettingsStore::nameFault(key).isEmpty();
}

} // namespace

// A name that the INI file would read back as something else (a key "K=1" as
// "K"), or that would start a line of its own, is refused on every system, so
// that a name works the same wherever it is stored.
QString SettingsStore::nameFault(const QString &name)
{
    if (name.isEmpty())
        return QStringLiteral("the name is empty");
    if (hasLineBreak(name))
        return QStringLiteral("the name holds a line break");
    if (name.contains(QChar(0)))
        return QStringLiteral("the name holds a NUL character");
    if (name.contains(QLatin1Char('=')))
        return QStringLiteral("the name holds \"=\"");
    if (name.contains(QLatin1Char('[')) || name.contains(QLatin1Char(']')))
        return QStringLiteral("the name holds \"[\" or \"]\"");
    if (name.startsWith(QLatin1Char(';')) || name.startsWith(QLatin1Char('#')))
        return QStringLiteral("the name starts with \";\" or \"#\", which mark comments");
    if (name != name.trimmed())
        return QStringLiteral("the name has blanks at its start or end");
    return QString();
}

QString SettingsStore::valueFault(const QString &value)
{
    if (hasLineBreak(value))
        return QStringLiteral("the value holds a line break");
    if (value.contains(QChar(0)))
        return QStringLiteral("the value holds a NUL character");
    if (value != value.trimmed())
        return QStringLiteral("the value has blanks at its start or end");
    return QString();
}

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

// A store holds a few short lines. A file this big was not written by us, and
// finding that out must not take its size in memory.
constexpr qint64 LargestStore = 1024 * 1024;

// How long a write waits for other writers: long enough for a queue of busy
// writers to get through, short enough not to freeze a window.
constexpr std::chrono::milliseconds LockWait{750};

QByteArray nativePath(const QString &path)
{
    return QFile::encodeName(path);
}

// Closes a file descriptor when it goes out of scope.
class Descriptor
{
public:
    explicit Descriptor(int fd) : m_fd(fd) {}
    ~Descriptor()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;

    int get() const { return m_fd; }
    bool isOpen() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};

// Takes the flock on fd within LockWait and gives back fd, or closes fd and
// gives -1. A contended wait blocks in a thread of its own: the system wakes it
// the moment the holder lets go, where a poll would lose again and again to a
// writer that takes the lock back at once. When the caller gives up first, the
// thread closes fd as soon as it gets the lock, which drops it again.
int lockWithin(int fd)
{
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
        return fd;
    if (errno != EWOULDBLOCK) {
        ::close(fd);
        return -1;
    }

    struct Wait
    {
        std::mutex mutex;
        std::condition_variable finished;
        bool done = false;
        bool locked = false;
        bool abandoned = false;
    };
    const auto wait = std::make_shared<Wait>();
    try {
        std::thread([wait, fd] {
            int result;
            do {
                result = ::flock(fd, LOCK_EX);
            } while (result != 0 && errno == EINTR);
            const std::lock_guard<std::mutex> guard(wait->mutex);
            if (wait->abandoned) {
                ::close(fd);
                return;
            }
            wait->done = true;
            wait->locked = result == 0;
            wait->finished.notify_one();
        }).detach();
    } catch (const std::system_error &) {
        // No thread to be had: the write fails like one that waited too long.
        ::close(fd);
        return -1;
    }

    std::unique_lock<std::mutex> guard(wait->mutex);
    if (!wait->finished.wait_for(guard, LockWait, [&wait] { return wait->done; })) {
        wait->abandoned = true;
        return -1;
    }
    if (!wait->locked) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// The lock of the store: an flock on a file beside it, which stays there so
// that every writer locks the same file. The system drops the lock when its
// holder's descriptor closes, also when the holder is killed, so a dead writer
// keeps nobody out.
class StoreLock
{
public:
    explicit StoreLock(const QString &storePath)
        : m_file(openAndLock(storePath + QStringLiteral(".lock")))
    {
    }

    bool isHeld() const { return m_file.isOpen(); }

private:
    static int openAndLock(const QString &lockPath)
    {
        const int fd = ::open(nativePath(lockPath).constData(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOCTTY, 0600);
        return fd < 0 ? -1 : lockWithin(fd);
    }

    Descriptor m_file;
};

// read(2) and write(2), tried again when a signal interrupts them.
ssize_t readSome(int fd, char *buffer, size_t size)
{
    ssize_t got;
    do {
        got = ::read(fd, buffer, size);
    } while (got < 0 && errno == EINTR);
    return got;
}

bool writeAll(int fd, const char *data, ssize_t size)
{
    while (size > 0) {
        const ssize_t put = ::write(fd, data, size_t(size));
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        data += put;
        size -= put;
    }
    return true;
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

// Damaged is a file that was read and is not text, or is larger than any store.
// Unreadable is one that could not be read: nothing is known about it, so it is
// not replaced (the user may mend its mode and find every value again).
enum class FileState { Missing, Readable, Damaged, Unreadable };

bool isMissing(const QString &path)
{
    struct stat info;
    return ::stat(nativePath(path).constData(), &info) != 0 && errno == ENOENT;
}

// The file's bytes, read no further than one byte past the largest store.
FileState readBounded(const QString &path, QByteArray *bytes)
{
    // Not blocking: a named pipe in the file's place must not hang the window.
    const int fd = ::open(nativePath(path).constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return errno == ENOENT ? FileState::Missing : FileState::Unreadable;
    const Descriptor file(fd);
    struct stat info;
    // Only a regular file is ours to judge; a folder or a pipe in its place is left alone.
    if (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode))
        return FileState::Unreadable;
    if (info.st_size > LargestStore)
        return FileState::Damaged;

    char chunk[16384];
    for (;;) {
        const ssize_t got = readSome(file.get(), chunk, sizeof chunk);
        if (got < 0)
            return FileState::Unreadable;
        if (got == 0)
            return FileState::Readable;
        bytes->append(chunk, got);
        // It grew since it was measured.
        if (bytes->size() > LargestStore)
            return FileState::Damaged;
    }
}

// A file that is not UTF-8 text is damaged: nothing in it is trusted.
FileState loadIni(const QString &path, IniLines *ini)
{
    QByteArray bytes;
    const FileState state = readBounded(path, &bytes);
    if (state != FileState::Readable)
        return state;
    if (bytes.contains('\0'))
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
// The file that a write replaces: the store, or the file its symbolic link names.
QString replacedFile(const QString &path)
{
    const QFileInfo info(path);
    if (!info.isSymLink())
        return path;
    const QString target = info.canonicalFilePath();
    return target.isEmpty() ? info.symLinkTarget() : target;
}

bool saveIni(const QString &path, const IniLines &ini)
{
    const QByteArray text =
        ini.lines.isEmpty() ? QByteArray() : (ini.lines.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8();
    // Past the bound the next read would take the file as damaged.
    if (text.size() > LargestStore)
        return false;
    // Written under one fixed name and renamed over the store, all under the
    // lock: a writer killed half-way leaves that one file, which the next write
    // takes over, never a heap of copies of the password.
    const QString target = replacedFile(path);
    const QByteArray temporary = nativePath(target + QStringLiteral(".new"));
    const int fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW,
                          0600);
    if (fd < 0)
        return false;
    bool written = false;
    {
        const Descriptor file(fd);
        // One left by a dead writer may have had another mode.
        written = ::fchmod(file.get(), 0600) == 0 && writeAll(file.get(), text.constData(), text.size())
            && ::fsync(file.get()) == 0;
    }
    if (written && ::rename(temporary.constData(), nativePath(target).constData()) == 0)
        return true;
    ::unlink(temporary.constData());
    return false;
}

// Creates the first of name.damaged, name.damaged.1, name.damaged.2, ... that
// does not exist yet, so that no earlier copy is ever overwritten.
int createBackupFile(const QString &path, QString *name)
{
    for (int number = 0;; ++number) {
        *name = path + QStringLiteral(".damaged");
        if (number > 0)
            *name += QLatin1Char('.') + QString::number(number);
        const int fd = ::open(nativePath(*name).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY,
                              0600);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
}

bool copyAll(int from, int to)
{
    char chunk[16384];
    for (;;) {
        const ssize_t got = readSome(from, chunk, sizeof chunk);
        if (got <= 0)
            return got == 0;
        if (!writeAll(to, chunk, got))
            return false;
    }
}

// Copies a damaged store beside it, owner only like the store, and on disk
// before the store is replaced. False, with no copy left behind, when the copy
// cannot be made in full.
bool keepDamagedCopy(const QString &path)
{
    const Descriptor source(::open(nativePath(path).constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!source.isOpen())
        return false;
    QString name;
    const Descriptor copy(createBackupFile(path, &name));
    if (!copy.isOpen())
        return false;
    // The umask may have taken bits away from 0600.
    const bool copied =
        ::fchmod(copy.get(), 0600) == 0 && copyAll(source.get(), copy.get()) && ::fsync(copy.get()) == 0;
    if (!copied)
        ::unlink(nativePath(name).constData());
    return copied;
}

} // namespace

QString SettingsStore::read(const QString &application, const QString &section, const QString &key,
                            const QString &defaultValue)
{
    IniLines ini;
    if (!namesAreUsable(section, key) || loadIni(iniPath(application), &ini) != FileState::Readable)
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
    if (!namesAreUsable(section, key) || !valueFault(value).isEmpty())
        return false;
    const QString path = iniPath(application);
    const QString directory = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(directory))
        return false;

    // Two programs may write at once: read, change and replace under one lock,
    // so neither loses the other's key.
    const StoreLock lock(path);
    if (!lock.isHeld())
        return false;

    IniLines ini;
    switch (loadIni(path, &ini)) {
    case FileState::Missing:
    case FileState::Readable:
        break;
    case FileState::Unreadable:
        return false;
    case FileState::Damaged:
        // Start afresh rather than refuse every write, but only once the old
        // bytes are kept for a look.
        if (!keepDamagedCopy(path))
            return false;
        ini.lines.clear();
        break;
    }
    ini.set(section, key, value);
    return saveIni(path, ini);
}

bool SettingsStore::remove(const QString &application, const QString &section, const QString &key)
{
    if (!namesAreUsable(section, key))
        return false;
    const QString path = iniPath(application);
    // Nothing to remove, and no lock file to leave in a folder without a store.
    if (isMissing(path))
        return true;
    const StoreLock lock(path);
    if (!lock.isHeld())
        return false;
    IniLines ini;
    switch (loadIni(path, &ini)) {
    case FileState::Missing:
    case FileState::Damaged:
        // A damaged file is kept as it is for a look; every key in it reads as missing already.
        return true;
    case FileState::Unreadable:
        return false;
    case FileState::Readable:
        break;
    }
    return !ini.remove(section, key) || saveIni(path, ini);
}

QString SettingsStore::location(const QString &application)
{
    return iniPath(application);
}

#endif

} // namespace platform
