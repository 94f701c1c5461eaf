#include "platform/settings/posix/store_files.h"

#include <QFile>
#include <QFileInfo>

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

namespace platform::store_files {

namespace {

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

int openAndLock(const QString &lockPath)
{
    const int fd = ::open(nativePath(lockPath).constData(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOCTTY, 0600);
    return fd < 0 ? -1 : lockWithin(fd);
}

// The file that a write replaces: the store, or the file its symbolic link names.
QString replacedFile(const QString &path)
{
    const QFileInfo info(path);
    if (!info.isSymLink())
        return path;
    const QString target = info.canonicalFilePath();
    return target.isEmpty() ? info.symLinkTarget() : target;
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

} // namespace

Descriptor::~Descriptor()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

StoreLock::StoreLock(const QString &storePath)
    : m_file(openAndLock(storePath + QStringLiteral(".lock")))
{
}

bool isMissing(const QString &path)
{
    struct stat info;
    return ::stat(nativePath(path).constData(), &info) != 0 && errno == ENOENT;
}

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

bool replaceFile(const QString &path, const QByteArray &bytes)
{
    // Past the bound the next read would take the file as damaged.
    if (bytes.size() > LargestStore)
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
        written = ::fchmod(file.get(), 0600) == 0 && writeAll(file.get(), bytes.constData(), bytes.size())
            && ::fsync(file.get()) == 0;
    }
    if (written && ::rename(temporary.constData(), nativePath(target).constData()) == 0)
        return true;
    ::unlink(temporary.constData());
    return false;
}

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

} // namespace platform::store_files
