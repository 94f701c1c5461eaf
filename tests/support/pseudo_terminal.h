#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

#include <termios.h>

// One end of a terminal, as a descriptor: the device's end (the master of a
// PseudoTerminal) or a program's end (a device opened by its path).
class TerminalEnd
{
public:
    TerminalEnd() = default;
    // Opens the device at `path` as a program opens its serial port (no
    // controlling terminal, non-blocking), and leaves its line as it is.
    explicit TerminalEnd(const QString &path);
    TerminalEnd(const TerminalEnd &) = delete;
    TerminalEnd &operator=(const TerminalEnd &) = delete;
    ~TerminalEnd() { close(); }

    bool isOpen() const { return m_fd != -1; }
    int fd() const { return m_fd; }
    // At the master: the device hangs up, as an unplugged adapter does.
    void close();

    bool write(const QByteArray &bytes) const;
    bool send(quint8 byte) const { return write(QByteArray(1, char(byte))); }
    // What the other end sent: up to `expected` bytes, waiting at most timeoutMs.
    QByteArray read(qsizetype expected, int timeoutMs) const;
    // Everything the other end sends within timeoutMs.
    QByteArray readFor(int timeoutMs) const;
    // The next byte to arrive within the time, if any.
    std::optional<quint8> receive(int timeoutMs) const;
    // True when the other end has gone: a hang-up, or a read that gives end of
    // file or an I/O error.
    bool hungUp(int timeoutMs) const;
    // The terminal's line settings; at the master they are the slave's.
    termios attributes() const;

protected:
    int m_fd = -1;
};

// A new pseudo-terminal: the test plays the device on the master, and the
// program under test opens the slave by its path.
class PseudoTerminal : public TerminalEnd
{
public:
    PseudoTerminal();

    bool isValid() const { return isOpen() && !m_slavePath.isEmpty(); }
    QString slavePath() const { return m_slavePath; }
    // 7 for /dev/pts/7.
    int number() const;
    int master() const { return fd(); }
    void closeMaster() { close(); }
    // For a device that must never wait on a full terminal.
    void setNonBlocking() const;
    termios slaveAttributes() const { return attributes(); }

private:
    QString m_slavePath;
};

// The lock file that a program holds for the terminal at `devicePath`
// ("LCK.." and its name below /dev, '/' as '_') in the lock folders where
// programs look for one; empty when there is none.
QString SerialLockFile(const QString &devicePath);
