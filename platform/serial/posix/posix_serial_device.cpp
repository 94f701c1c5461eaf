#include "platform/serial/posix/posix_serial_device.h"

#include "platform/serial/comm_codes.h"
#include "platform/serial/posix/open_errors.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <limits>
#include <optional>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#ifdef __linux__
#include <linux/serial.h>
#endif

namespace platform {

// The serial port of Linux and other POSIX systems: one descriptor of a terminal
// device, opened, checked, locked and configured here, and read through a
// notifier. Line states are polled on the owner's thread while the port is
// open; a device that vanishes closes the port and reports comm_event::DeviceLost.
class PosixSerialDevice final : public SerialDevice
{
    Q_OBJECT

public:
    // `consoles` tells, at each open, which terminals are the system's consoles.
    explicit PosixSerialDevice(ConsoleList consoles, QObject *parent = nullptr);
    ~PosixSerialDevice() override;

    // 8002 when no terminal is there, and for an active system console: taking
    // that over would reconfigure and write to the machine's own console. 8005
    // when another program holds the device. 8015 for settings it refuses.
    void open(const PortTarget &target, const LineSettings &settings, const QString &settingsText) override;
    void close() override;
    // At most what the receive queue holds.
    QByteArray read(qint16 maxBytes) override;
    // 8021 when the bytes cannot be written, which closes the port and reports DeviceLost.
    void write(const QByteArray &bytes) override;
    // At most 4096, the size of the receive queue.
    qint64 count() override;
    bool isOpen() const override;

private:
    enum class LineRead { Read, Unsupported, Gone };

    // Each throws CommError and leaves whatever it took to closePort().
    void openChecked(const QString &path, const struct stat &info);
    void lockDevice(const QString &path);
    void configureLine(const QString &path, const LineSettings &settings, const QString &settingsText);

    void closePort();
    void loseDevice();
    [[noreturn]] void failWrite(const QString &reason);
    LineRead readLineCounters(LineCounters *counters);
    void pollLine();
    void onReadable();
    // What the system holds, up to `room` bytes.
    QByteArray drainKernel(qsizetype room);

    int m_fd = -1;
    std::unique_ptr<QLockFile> m_lockFile;
    // The line as it was found, given back at close.
    std::optional<termios> m_foundLine;
    // Set once other opens are refused; only then is that lifted at close.
    bool m_exclusive = false;
    QSocketNotifier *m_readNotifier = nullptr;
    QTimer m_lineTimer{this};
    LineSettings m_settings;
    QString m_devicePath;
    ConsoleList m_consoles;
    // The receive queue: what arrived and what a limited read left over, in order.
    QByteArray m_received;
    LineCounters m_counters;
    bool m_haveCounters = false;
    int m_modemBits = 0;
};

namespace {

constexpr int LinePollMilliseconds = 15;
// Time for the system to take a write, on top of the time the bytes need on the line.
constexpr int WriteGraceMilliseconds = 1000;
// Taken from the system per notification, so that a flood never keeps the
// event loop from its other work.
constexpr qsizetype ReadSliceBytes = 64 * 1024;

// A device that was unplugged or hung up answers every call like this.
bool isGoneError(int error)
{
    return error == EIO || error == ENXIO || error == ENODEV || error == EBADF;
}

bool deviceGone(int fd)
{
    termios attributes {};
    return ::tcgetattr(fd, &attributes) == -1 && isGoneError(errno);
}

QString systemError(int error)
{
    return qt_error_string(error);
}

// Where other programs look for a device's lock file: "LCK.." and the device's
// name below /dev with '/' as '_', in the first lock folder this user may
// write, as Qt Serial Port, minicom and the like take it.
QString lockFilePath(const QString &devicePath)
{
    QString name = devicePath.startsWith(QLatin1String("/dev/")) ? devicePath.mid(5) : devicePath;
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    const QString fileName = QStringLiteral("LCK..") + name;
    const QStringList folders{QStringLiteral("/var/lock"),         QStringLiteral("/etc/locks"),
                              QStringLiteral("/var/spool/locks"),  QStringLiteral("/var/spool/uucp"),
                              QStringLiteral("/tmp"),              QStringLiteral("/var/tmp"),
                              QStringLiteral("/var/lock/lockdev"), QStringLiteral("/run/lock"),
                              QDir::tempPath()};
    for (const QString &folder : folders) {
        const QFileInfo info(folder);
        const QString path = QDir(folder).filePath(fileName);
        if (info.isDir() && info.isReadable() && (QFile::exists(path) || info.isWritable()))
            return path;
    }
    return QString();
}

// The process that holds a lock file of the pid alone, as programs without
// QLockFile write it, while that process runs. QLockFile would take such a
// file for a stale one, since it names no program; it judges its own files.
std::optional<qint64> plainLockHolder(const QString &lockPath)
{
    QFile file(lockPath);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QList<QByteArray> lines = file.read(256).split('\n');
    if (lines.size() > 2 || (lines.size() == 2 && !lines[1].trimmed().isEmpty()))
        return std::nullopt;
    bool ok = false;
    const qint64 pid = lines.value(0).trimmed().toLongLong(&ok);
    if (!ok || pid <= 0 || pid > std::numeric_limits<pid_t>::max())
        return std::nullopt;
    if (::kill(pid_t(pid), 0) == -1 && errno == ESRCH)
        return std::nullopt;
    return pid;
}

QString lockHeld(const QString &lockPath, const QString &program, qint64 pid)
{
    QString holder = QStringLiteral("its lock file %1 is held").arg(lockPath);
    if (pid > 0)
        holder += QStringLiteral(" by %1 %2")
                      .arg(program.isEmpty() ? QStringLiteral("process") : program + QStringLiteral(", process"))
                      .arg(pid);
    return holder;
}

std::optional<speed_t> standardSpeed(int baudRate)
{
    switch (baudRate) {
    case 50: return B50;
    case 75: return B75;
    case 110: return B110;
    case 134: return B134;
    case 150: return B150;
    case 200: return B200;
    case 300: return B300;
    case 600: return B600;
    case 1200: return B1200;
    case 1800: return B1800;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
#ifdef B57600
    case 57600: return B57600;
#endif
#ifdef B115200
    case 115200: return B115200;
#endif
#ifdef B230400
    case 230400: return B230400;
#endif
#ifdef B460800
    case 460800: return B460800;
#endif
#ifdef B921600
    case 921600: return B921600;
#endif
    default: return std::nullopt;
    }
}

#if defined(__linux__) && defined(TCSETS2)
// The kernel's own terminal settings with a speed in bits per second, which
// <termios.h> leaves out because its struct termios has the same name as the
// kernel's; the layout is the kernel's ABI.
struct termios2
{
    tcflag_t c_iflag;
    tcflag_t c_oflag;
    tcflag_t c_cflag;
    tcflag_t c_lflag;
    cc_t c_line;
    cc_t c_cc[19];
    speed_t c_ispeed;
    speed_t c_ospeed;
};
#ifndef BOTHER
#define BOTHER 0010000
#endif

// A speed that has no B constant, set as a number; false with errno set.
bool setSpeedAsNumber(int fd, int baudRate)
{
    termios2 line {};
    if (::ioctl(fd, TCGETS2, &line) == -1)
        return false;
    line.c_cflag &= ~tcflag_t(CBAUD);
    line.c_cflag |= BOTHER;
    line.c_ispeed = speed_t(baudRate);
    line.c_ospeed = speed_t(baudRate);
    return ::ioctl(fd, TCSETS2, &line) == 0;
}
#else
bool setSpeedAsNumber(int, int)
{
    errno = EINVAL;
    return false;
}
#endif

// Raw bytes both ways, no flow control, the given speed, size, parity and stop bits.
termios rawLine(termios line, const LineSettings &settings, speed_t speed)
{
    ::cfmakeraw(&line);
    line.c_iflag &= ~tcflag_t(IXON | IXOFF | IXANY | INPCK);
    line.c_cflag |= CLOCAL | CREAD;
    line.c_cflag &= ~tcflag_t(CSIZE | PARENB | PARODD | CSTOPB);
#ifdef CRTSCTS
    line.c_cflag &= ~tcflag_t(CRTSCTS);
#endif
#ifdef CMSPAR
    line.c_cflag &= ~tcflag_t(CMSPAR);
#endif
    switch (settings.dataBits) {
    case 5: line.c_cflag |= CS5; break;
    case 6: line.c_cflag |= CS6; break;
    case 7: line.c_cflag |= CS7; break;
    default: line.c_cflag |= CS8; break;
    }
    switch (settings.parity) {
    case Parity::None:
        break;
    case Parity::Even:
        line.c_cflag |= PARENB;
        break;
    case Parity::Odd:
        line.c_cflag |= PARENB | PARODD;
        break;
#ifdef CMSPAR
    case Parity::Mark:
        line.c_cflag |= PARENB | CMSPAR | PARODD;
        break;
    case Parity::Space:
        line.c_cflag |= PARENB | CMSPAR;
        break;
#else
    case Parity::Mark:
    case Parity::Space:
        break; // refused before this is reached
#endif
    }
    if (settings.stopBits == StopBits::Two)
        line.c_cflag |= CSTOPB;
    line.c_cc[VMIN] = 0;
    line.c_cc[VTIME] = 0;
    ::cfsetispeed(&line, speed);
    ::cfsetospeed(&line, speed);
    return line;
}

// tcsetattr fails when it could apply none of a change. A pseudo-terminal
// has no parity or data bits to apply and drops them, yet carries the bytes:
// asking it for parity alone is no failure.
bool onlyFramingDropped(int fd, const termios &asked)
{
    termios kept {};
    if (::tcgetattr(fd, &kept) == -1)
        return false;
    tcflag_t framing = CSIZE | PARENB | PARODD;
#ifdef CMSPAR
    framing |= CMSPAR;
#endif
    return (kept.c_cflag & ~framing) == (asked.c_cflag & ~framing) && kept.c_iflag == asked.c_iflag
        && kept.c_oflag == asked.c_oflag && kept.c_lflag == asked.c_lflag;
}

} // namespace

QList<qint16> LineEventsBetween(const LineCounters &before, const LineCounters &after)
{
    QList<qint16> events;
    const auto moved = [&events](int from, int to, qint16 code) {
        if (from != to)
            events.append(code);
    };
    moved(before.cts, after.cts, comm_event::CTS);
    moved(before.dsr, after.dsr, comm_event::DSR);
    moved(before.cd, after.cd, comm_event::CD);
    moved(before.ring, after.ring, comm_event::Ring);
    moved(before.breaks, after.breaks, comm_event::Break);
    moved(before.frame, after.frame, comm_event::Frame);
    moved(before.overrun, after.overrun, comm_event::Overrun);
    moved(before.bufferOverrun, after.bufferOverrun, comm_event::RxOver);
    moved(before.parity, after.parity, comm_event::RxParity);
    return events;
}

PosixSerialDevice::PosixSerialDevice(ConsoleList consoles, QObject *parent)
    : SerialDevice(parent)
    , m_consoles(std::move(consoles))
{
    m_lineTimer.setInterval(LinePollMilliseconds);
    m_lineTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_lineTimer, &QTimer::timeout, this, &PosixSerialDevice::pollLine);
}

PosixSerialDevice::~PosixSerialDevice()
{
    closePort();
}

void PosixSerialDevice::close()
{
    closePort();
}

bool PosixSerialDevice::isOpen() const
{
    return m_fd != -1;
}

void PosixSerialDevice::open(const PortTarget &target, const LineSettings &settings, const QString &settingsText)
{
    // A device found gone is closed already; anything else is closed first.
    closePort();
    const QString path = target.device;
    if (target.kind != PortTarget::Kind::Device || path.isEmpty())
        throw open_errors::InvalidPortNumber();

    // Only a character device can be a serial port: nothing else is opened at
    // all. The checks that count are made again on the descriptor itself.
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) == -1) {
        if (errno == EACCES)
            throw open_errors::CannotOpen(path, open_errors::PermissionDenied(info));
        throw open_errors::InvalidPortNumber();
    }
    if (!S_ISCHR(info.st_mode))
        throw open_errors::InvalidPortNumber();
    // A terminal has no setting for these.
    if (settings.dataBits < 5)
        throw open_errors::SettingsRejected(path, settingsText, QStringLiteral("fewer than 5 data bits"));
    if (settings.stopBits == StopBits::OneAndHalf)
        throw open_errors::SettingsRejected(path, settingsText, QStringLiteral("1.5 stop bits"));
#ifndef CMSPAR
    if (settings.parity == Parity::Mark || settings.parity == Parity::Space)
        throw open_errors::SettingsRejected(path, settingsText, QStringLiteral("mark or space parity"));
#endif

    try {
        openChecked(path, info);
        lockDevice(path);
        configureLine(path, settings, settingsText);
    } catch (...) {
        closePort();
        throw;
    }

    m_devicePath = path;
    m_settings = settings;
    m_received.clear();
    m_counters = LineCounters();
    m_haveCounters = false;
    m_haveCounters = readLineCounters(&m_counters) == LineRead::Read;
    m_readNotifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
    connect(m_readNotifier, &QSocketNotifier::activated, this, &PosixSerialDevice::onReadable);
    m_lineTimer.start();
}

void PosixSerialDevice::openChecked(const QString &path, const struct stat &info)
{
    m_fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_fd == -1)
        throw open_errors::OpenFailure(path, errno, info);
    // What was opened, whatever the path leads to by now.
    struct stat opened {};
    if (::fstat(m_fd, &opened) == -1 || !S_ISCHR(opened.st_mode) || ::isatty(m_fd) != 1)
        throw open_errors::InvalidPortNumber();
    if (LeadsToActiveConsole(m_fd, m_consoles()))
        throw open_errors::SystemConsole(path);
}

void PosixSerialDevice::lockDevice(const QString &path)
{
    // The lock file tells programs that share the name; the flock catches one
    // that reaches the same device under another name.
    const QString lockPath = lockFilePath(path);
    if (lockPath.isEmpty())
        throw open_errors::CannotOpen(path, QStringLiteral("no folder for its lock file may be written"));
    if (const std::optional<qint64> pid = plainLockHolder(lockPath))
        throw open_errors::InUse(path, lockHeld(lockPath, QString(), *pid));
    auto lockFile = std::make_unique<QLockFile>(lockPath);
    // Stale only when its process is gone, never by its age alone.
    lockFile->setStaleLockTime(0);
    if (!lockFile->tryLock(0)) {
        if (lockFile->error() != QLockFile::LockFailedError)
            throw open_errors::CannotOpen(path, QStringLiteral("cannot write the lock file %1").arg(lockPath));
        qint64 pid = 0;
        QString host;
        QString program;
        lockFile->getLockInfo(&pid, &host, &program);
        throw open_errors::InUse(path, lockHeld(lockPath, program, pid));
    }
    m_lockFile = std::move(lockFile);
    if (::flock(m_fd, LOCK_EX | LOCK_NB) == -1 && errno == EWOULDBLOCK)
        throw open_errors::InUse(path);
#ifdef TIOCEXCL
    // Further opens fail (for all but root) while the port is ours.
    m_exclusive = ::ioctl(m_fd, TIOCEXCL) == 0;
#endif
}

void PosixSerialDevice::configureLine(const QString &path, const LineSettings &settings, const QString &settingsText)
{
    termios found {};
    if (::tcgetattr(m_fd, &found) == -1)
        throw open_errors::CannotOpen(path, systemError(errno));
    m_foundLine = found;
    const std::optional<speed_t> speed = standardSpeed(settings.baudRate);
    // A speed without a constant is set as a number once the rest is in place.
    const termios line = rawLine(found, settings, speed.value_or(B38400));
    const auto refused = [&](int error) {
        if (error == EINVAL)
            return open_errors::SettingsRejected(path, settingsText, systemError(error));
        return open_errors::CannotOpen(path, systemError(error));
    };
    if (::tcsetattr(m_fd, TCSANOW, &line) == -1) {
        const int error = errno;
        if (error != EINVAL || !onlyFramingDropped(m_fd, line))
            throw refused(error);
    }
    if (!speed && !setSpeedAsNumber(m_fd, settings.baudRate))
        throw refused(errno);
}

void PosixSerialDevice::closePort()
{
    m_lineTimer.stop();
    m_received.clear();
    if (m_readNotifier) {
        // The close may come from the notifier's own signal.
        m_readNotifier->setEnabled(false);
        m_readNotifier->deleteLater();
        m_readNotifier = nullptr;
    }
    if (m_fd != -1) {
        // A device that is gone takes none of this, which does not matter.
        if (m_foundLine)
            ::tcsetattr(m_fd, TCSANOW, &*m_foundLine);
#ifdef TIOCNXCL
        if (m_exclusive)
            ::ioctl(m_fd, TIOCNXCL);
#endif
        ::close(m_fd);
        m_fd = -1;
    }
    m_foundLine.reset();
    m_exclusive = false;
    m_lockFile.reset();
}

void PosixSerialDevice::loseDevice()
{
    if (m_fd == -1)
        return;
    closePort();
    emit lineEvent(comm_event::DeviceLost);
}

void PosixSerialDevice::failWrite(const QString &reason)
{
    const QString path = m_devicePath;
    loseDevice();
    throw CommError{comm_error::WriteFailed, QStringLiteral("Cannot write to %1: %2").arg(path, reason)};
}

QByteArray PosixSerialDevice::read(qint16 maxBytes)
{
    QByteArray data = std::exchange(m_received, QByteArray());
    data += drainKernel(ReceiveQueueBytes - data.size());
    if (maxBytes > 0 && data.size() > maxBytes) {
        if (isOpen())
            m_received = data.mid(maxBytes);
        data.truncate(maxBytes);
    }
    return data;
}

void PosixSerialDevice::write(const QByteArray &bytes)
{
    const qint64 lineMilliseconds = qint64(bytes.size()) * 12 * 1000 / qMax(1, m_settings.baudRate);
    const QDeadlineTimer deadline(WriteGraceMilliseconds + lineMilliseconds);
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t written = ::write(m_fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (written > 0) {
            done += written;
            continue;
        }
        if (written == -1 && errno == EINTR)
            continue;
        if (written == -1 && errno != EAGAIN && errno != EWOULDBLOCK)
            failWrite(systemError(errno));
        // The system's output queue is full: wait for room, within the time the bytes may take.
        pollfd writable {m_fd, POLLOUT, 0};
        const int ready = ::poll(&writable, 1, int(qMax<qint64>(0, deadline.remainingTime())));
        if (ready == -1 && errno == EINTR)
            continue;
        if (ready == 0)
            failWrite(QStringLiteral("the device takes no more data"));
        if (ready == -1)
            failWrite(systemError(errno));
        if (writable.revents & (POLLERR | POLLHUP | POLLNVAL))
            failWrite(QStringLiteral("the device is gone"));
    }
}

qint64 PosixSerialDevice::count()
{
    // Bytes that arrived while no event loop ran are still in the system's queue.
    int waiting = 0;
    if (::ioctl(m_fd, FIONREAD, &waiting) == -1) {
        if (isGoneError(errno)) {
            loseDevice();
            return 0;
        }
        waiting = 0;
    }
    return qMin<qint64>(m_received.size() + waiting, ReceiveQueueBytes);
}

PosixSerialDevice::LineRead PosixSerialDevice::readLineCounters(LineCounters *counters)
{
#ifdef TIOCGICOUNT
    serial_icounter_struct icount {};
    if (::ioctl(m_fd, TIOCGICOUNT, &icount) == -1)
        return isGoneError(errno) ? LineRead::Gone : LineRead::Unsupported;
    counters->cts = icount.cts;
    counters->dsr = icount.dsr;
    counters->cd = icount.dcd;
    counters->ring = icount.rng;
    counters->breaks = icount.brk;
    counters->frame = icount.frame;
    counters->overrun = icount.overrun;
    counters->bufferOverrun = icount.buf_overrun;
    counters->parity = icount.parity;
    return LineRead::Read;
#else
    // Without the driver's counters, states are compared: a pulse shorter than the
    // poll goes unseen and breaks are not reported.
    int bits = 0;
    if (::ioctl(m_fd, TIOCMGET, &bits) == -1)
        return isGoneError(errno) ? LineRead::Gone : LineRead::Unsupported;
    *counters = m_counters;
    if (m_haveCounters) {
        const int changed = bits ^ m_modemBits;
        counters->cts += (changed & TIOCM_CTS) ? 1 : 0;
        counters->dsr += (changed & TIOCM_DSR) ? 1 : 0;
        counters->cd += (changed & TIOCM_CAR) ? 1 : 0;
        counters->ring += (changed & TIOCM_RNG) ? 1 : 0;
    }
    m_modemBits = bits;
    return LineRead::Read;
#endif
}

void PosixSerialDevice::pollLine()
{
    if (m_fd == -1)
        return;
    LineCounters now;
    const LineRead result = readLineCounters(&now);
    // A port without line states (a pseudo-terminal) still tells that it is gone.
    if (result == LineRead::Gone || (result == LineRead::Unsupported && deviceGone(m_fd))) {
        loseDevice();
        return;
    }
    if (result != LineRead::Read)
        return;
    if (m_haveCounters) {
        for (const qint16 code : LineEventsBetween(m_counters, now))
            emit lineEvent(code);
    }
    m_counters = now;
    m_haveCounters = true;
}

void PosixSerialDevice::onReadable()
{
    // What does not fit in the queue is dropped, as a driver drops it on an overrun.
    const QByteArray arrived = drainKernel(ReadSliceBytes);
    if (m_fd == -1)
        return;
    if (arrived.isEmpty()) {
        // Readable with nothing to read: a hung-up terminal reads as end of file.
        if (deviceGone(m_fd))
            loseDevice();
        return;
    }
    m_received += arrived.left(ReceiveQueueBytes - m_received.size());
}

QByteArray PosixSerialDevice::drainKernel(qsizetype room)
{
    QByteArray bytes;
    char chunk[4096];
    while (m_fd != -1 && bytes.size() < room) {
        const size_t wanted = size_t(qMin<qsizetype>(qsizetype(sizeof chunk), room - bytes.size()));
        const ssize_t count = ::read(m_fd, chunk, wanted);
        if (count > 0) {
            bytes.append(chunk, qsizetype(count));
            if (size_t(count) < wanted)
                break;
            continue;
        }
        if (count == -1 && errno == EINTR)
            continue;
        if (count == -1 && isGoneError(errno))
            loseDevice();
        break;
    }
    return bytes;
}

std::unique_ptr<SerialDevice> CreatePosixSerialDevice(ConsoleList consoles)
{
    return std::make_unique<PosixSerialDevice>(std::move(consoles));
}

} // namespace platform

#include "posix_serial_device.moc"
