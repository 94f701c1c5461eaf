#pragma once

#include <QByteArray>
#include <QString>

// The file work of the INI store on POSIX systems: a bounded read, a
// replacement in one step, copies of damaged files and the lock that writers
// share. None of it knows what the file holds.
namespace platform::store_files {

// Damaged is a file that was read and is not text, or is larger than any store.
// Unreadable is one that could not be read: nothing is known about it, so it is
// not replaced (the user may mend its mode and find every value again).
enum class FileState { Missing, Readable, Damaged, Unreadable };

// True only when nothing is at path; not when it merely cannot be looked at.
bool isMissing(const QString &path);

// The file's bytes, read no further than one byte past the largest store.
// Readable, Missing, Damaged when larger than a store, or Unreadable.
FileState readBounded(const QString &path, QByteArray *bytes);

// Replaces the store (or the file its symbolic link names) with bytes. The
// store holds the encoded password: owner only, and replaced in one step so
// that a reader or a crash never meets half a file.
// False, with the store as it was, when that fails or the bytes are larger
// than the next read would take.
bool replaceFile(const QString &path, const QByteArray &bytes);

// Copies a damaged store beside it as path.damaged, or the first free
// path.damaged.N, owner only like the store, and on disk before the store is
// replaced. False, with no copy left behind, when the copy cannot be made in full.
bool keepDamagedCopy(const QString &path);

// Closes a file descriptor when it goes out of scope.
class Descriptor
{
public:
    explicit Descriptor(int fd) : m_fd(fd) {}
    ~Descriptor();
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;

    int get() const { return m_fd; }
    bool isOpen() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};

// The lock of the store: an flock on path.lock, a file that stays there so
// that every writer locks the same file. The system drops the lock when its
// holder's descriptor closes, also when the holder is killed, so a dead writer
// keeps nobody out. Not held when other writers kept it for longer than a
// window may wait.
class StoreLock
{
public:
    explicit StoreLock(const QString &storePath);

    bool isHeld() const { return m_file.isOpen(); }

private:
    Descriptor m_file;
};

} // namespace platform::store_files
