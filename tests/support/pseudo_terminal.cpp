#include "tests/support/pseudo_terminal.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>

#include <cerrno>
#include <limits>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

TerminalEnd::TerminalEnd(const QString &path)
    : m_fd(::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK))
{}

void TerminalEnd::close()
{
    if (m_fd != -1)
        ::close(m_fd);
    m_fd = -1;
}

bool TerminalEnd::write(const QByteArray &bytes) const
{
    return ::write(m_fd, bytes.constData(), size_t(bytes.size())) == bytes.size();
}

QByteArray TerminalEnd::read(qsizetype expected, int timeoutMs) const
{
    QByteArray bytes;
    const QDeadlineTimer deadline(timeoutMs);
    while (bytes.size() < expected && !deadline.hasExpired()) {
        pollfd readable {m_fd, POLLIN, 0};
        const int wait = int(qMin<qint64>(deadline.remainingTime(), 10));
        if (::poll(&readable, 1, wait) > 0 && (readable.revents & POLLIN)) {
            char chunk[512];
            const size_t wanted = size_t(qMin<qsizetype>(qsizetype(sizeof chunk), expected - bytes.size()));
            const ssize_t count = ::read(m_fd, chunk, wanted);
            if (count > 0) {
                bytes.append(chunk, qsizetype(count));
                continue;
            }
        }
        // A master whose slave is closed reports a hang-up without data.
        ::usleep(1000);
    }
    return bytes;
}

QByteArray TerminalEnd::readFor(int timeoutMs) const
{
    return read(std::numeric_limits<qsizetype>::max(), timeoutMs);
}

std::optional<quint8> TerminalEnd::receive(int timeoutMs) const
{
    const QByteArray byte = read(1, timeoutMs);
    if (byte.isEmpty())
        return std::nullopt;
    return quint8(byte[0]);
}

bool TerminalEnd::hungUp(int timeoutMs) const
{
    pollfd p = {m_fd, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) != 1)
        return false;
    if (p.revents & POLLHUP)
        return true;
    char byte = 0;
    const ssize_t n = ::read(m_fd, &byte, 1);
    return n == 0 || (n < 0 && errno == EIO);
}

termios TerminalEnd::attributes() const
{
    termios attributes {};
    ::tcgetattr(m_fd, &attributes);
    return attributes;
}

PseudoTerminal::PseudoTerminal()
{
    m_fd = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (m_fd == -1 || ::grantpt(m_fd) != 0 || ::unlockpt(m_fd) != 0)
        return;
    m_slavePath = QString::fromLocal8Bit(::ptsname(m_fd));
    // Until a program opens it the slave would echo and translate what the
    // master writes; raw from the start keeps stale bytes as they were sent.
    termios raw = attributes();
    ::cfmakeraw(&raw);
    ::tcsetattr(m_fd, TCSANOW, &raw);
}

int PseudoTerminal::number() const
{
    return m_slavePath.mid(m_slavePath.lastIndexOf(QLatin1Char('/')) + 1).toInt();
}

void PseudoTerminal::setNonBlocking() const
{
    ::fcntl(m_fd, F_SETFL, ::fcntl(m_fd, F_GETFL) | O_NONBLOCK);
}

QString SerialLockFile(const QString &devicePath)
{
    QString name = devicePath;
    if (name.startsWith(QLatin1String("/dev/")))
        name.remove(0, int(qstrlen("/dev/")));
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    for (const char *folder : {"/var/lock", "/etc/locks", "/var/spool/locks", "/var/spool/uucp",
                               "/tmp", "/var/tmp", "/var/lock/lockdev", "/run/lock"}) {
        const QString path = QDir(QString::fromLatin1(folder)).filePath(QStringLiteral("LCK..") + name);
        if (QFile::exists(path))
            return path;
    }
    return QString();
}
