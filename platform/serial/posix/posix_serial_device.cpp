#include "platform/serial/posix/posix_serial_device.h"

#include "platform/serial/comm_codes.h"
#include "platform/serial/posix/open_errors.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QSerialPort>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#ifdef __linux__
#include <linux/serial.h>
#include <sys/sysmacros.h>
#endif

namespace platform {

// The serial port of Linux and other POSIX systems, on QSerialPort: a terminal
// device. Line states are polled on the owner's thread while the port is open;
// a device that vanishes closes the port and reports comm_event::DeviceLost.
class PosixSerialDevice final : public SerialDevice
{
    Q_OBJECT

public:
    // `consoles` tells, at each open, which terminals are the system's consoles.
    explicit PosixSerialDevice(ConsoleList consoles, QObject *parent = nullptr);
    ~PosixSerialDevice() override;

    // 8002 when no terminal is there, and for an active system console: taking
    // that over would reconfigure and write to the machine's own console. 8015
    // for settings the device refuses.
    void open(const PortTarget &target, const LineSettings &settings, const QString &settingsText) override;
    void close() override;
    // At most what the receive queue holds.
    QByteArray read(qint16 maxBytes) override;
    // 8021 when the bytes cannot be written, which closes the port and reports DeviceLost.
    void write(const QByteArray &bytes) override;
    // At most 4096, the size of the receive queue.
    qint64 count() override;
    // False once the device is found gone, although it is closed only later.
    bool isOpen() const override;

private:
    enum class LineRead { Read, Unsupported, Gone };
    enum class CloseWhen { Now, Later };

    void closePort();
    void loseDevice(CloseWhen when);
    [[noreturn]] void failWrite(const QString &reason);
    LineRead readLineCounters(LineCounters *counters);
    void pollLine();
    void onPortError(QSerialPort::SerialPortError error);
    // Moves what QSerialPort has read into the receive queue, dropping what does not fit.
    void queueArrived();
    // What the system holds, up to `room` bytes.
    QByteArray drainKernel(qsizetype room);

    QSerialPort m_port{this};
    QTimer m_lineTimer{this};
    LineSettings m_settings;
    QString m_devicePath;
    ConsoleList m_consoles;
    // The receive queue: what arrived and what a limited read left over, in order.
    QByteArray m_received;
    LineCounters m_counters;
    bool m_haveCounters = false;
    int m_modemBits = 0;
    // Set from a successful open until the device is found gone.
    bool m_supervising = false;
    // The device is gone and the port is about to be closed.
    bool m_lost = false;
};

namespace {

constexpr int LinePollMilliseconds = 15;
// Time for the system to take a write, on top of the time the bytes need on the line.
constexpr int WriteGraceMilliseconds = 1000;

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

QSerialPort::Parity toQt(Parity parity)
{
    switch (parity) {
    case Parity::Even:
        return QSerialPort::EvenParity;
    case Parity::Odd:
        return QSerialPort::OddParity;
    case Parity::Mark:
        return QSerialPort::MarkParity;
    case Parity::Space:
        return QSerialPort::SpaceParity;
    case Parity::None:
        break;
    }
    return QSerialPort::NoParity;
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
    connect(&m_port, &QSerialPort::errorOccurred, this, &PosixSerialDevice::onPortError);
    connect(&m_port, &QSerialPort::readyRead, this, &PosixSerialDevice::queueArrived);
    m_port.setReadBufferSize(ReceiveQueueBytes);
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
    return m_port.isOpen() && !m_lost;
}

QByteArray PosixSerialDevice::read(qint16 maxBytes)
{
    queueArrived();
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
    if (bytes.isEmpty())
        return;
    if (m_port.write(bytes) != bytes.size())
        failWrite(m_port.errorString());

    const qint64 lineMilliseconds =
        qint64(bytes.size()) * 12 * 1000 / qMax(1, m_settings.baudRate);
    const QDeadlineTimer deadline(WriteGraceMilliseconds + lineMilliseconds);
    bool failedWhileWritable = false;
    // write() only queues until the event loop runs; each flush() hands the system
    // what it takes now, so the bytes are on their way before this returns.
    while (m_port.bytesToWrite() > 0) {
        const bool flushed = m_port.flush();
        if (m_lost)
            failWrite(m_port.errorString());
        if (flushed && m_port.bytesToWrite() == 0)
            break;
        pollfd writable {m_port.handle(), POLLOUT, 0};
        const int ready = ::poll(&writable, 1, int(qMax<qint64>(0, deadline.remainingTime())));
        if (ready == -1 && errno == EINTR)
            continue;
        if (ready == 0)
            failWrite(QStringLiteral("the device takes no more data"));
        if (ready == -1 || (writable.revents & (POLLERR | POLLHUP | POLLNVAL)))
            failWrite(m_port.errorString());
        // A queue that stays stuck although the device takes data is an error, not a full buffer.
        if (!flushed) {
            if (failedWhileWritable)
                failWrite(m_port.errorString());
            failedWhileWritable = true;
        }
    }
}

qint64 PosixSerialDevice::count()
{
    // Bytes that arrived while no event loop ran are still in the system's queue.
    int waiting = 0;
    if (::ioctl(m_port.handle(), FIONREAD, &waiting) == -1) {
        if (isGoneError(errno)) {
            loseDevice(CloseWhen::Now);
            return 0;
        }
        waiting = 0;
    }
    const qint64 count = m_received.size() + m_port.bytesAvailable() + waiting;
    return qMin<qint64>(count, ReceiveQueueBytes);
}

void PosixSerialDevice::open(const PortTarget &target, const LineSettings &settings, const QString &settingsText)
{
    // A device found gone is still to be closed.
    closePort();
    const QString path = target.device;
    if (target.kind != PortTarget::Kind::Device || path.isEmpty())
        throw open_errors::InvalidPortNumber();
    const QByteArray nativePath = QFile::encodeName(path);

    // Only a character device can be a serial port; nothing else is opened at all.
    struct stat info {};
    if (::stat(nativePath.constData(), &info) == -1) {
        if (errno == EACCES)
            throw open_errors::CannotOpen(path, open_errors::PermissionDenied(info));
        throw open_errors::InvalidPortNumber();
    }
    if (!S_ISCHR(info.st_mode))
        throw open_errors::InvalidPortNumber();
    if (IsActiveConsole(info.st_rdev, m_consoles()))
        throw open_errors::SystemConsole(path);

    // QSerialPort quietly sends these as 5 data bits or 1 stop bit.
    if (settings.dataBits < 5)
        throw open_errors::SettingsRejected(path, settingsText, QStringLiteral("fewer than 5 data bits"));
    if (settings.stopBits == StopBits::OneAndHalf)
        throw open_errors::SettingsRejected(path, settingsText, QStringLiteral("1.5 stop bits"));

    // Our own descriptor tells why an open fails, which QSerialPort's error codes
    // fold together, and whether the device is a terminal. It stays open while
    // QSerialPort opens, so the line is not hung up in between.
    const int probe = ::open(nativePath.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (probe == -1)
        throw open_errors::OpenFailure(path, errno, info);
    if (::isatty(probe) != 1) {
        ::close(probe);
        throw open_errors::InvalidPortNumber();
    }

    m_port.setPortName(path);
    m_port.setBaudRate(settings.baudRate);
    m_port.setDataBits(static_cast<QSerialPort::DataBits>(settings.dataBits));
    m_port.setParity(toQt(settings.parity));
    m_port.setStopBits(settings.stopBits == StopBits::Two ? QSerialPort::TwoStop
                                                            : QSerialPort::OneStop);
    m_port.setFlowControl(QSerialPort::NoFlowControl);
    const bool opened = m_port.open(QIODevice::ReadWrite);
    ::close(probe);
    if (!opened) {
        switch (m_port.error()) {
        case QSerialPort::PermissionError: // its lock file is taken
            throw open_errors::InUse(path, m_port.errorString());
        case QSerialPort::UnsupportedOperationError:
            throw open_errors::SettingsRejected(path, settingsText, m_port.errorString());
        default:
            throw open_errors::CannotOpen(path, m_port.errorString());
        }
    }
    // A program that reaches the same device under another name takes no lock file
    // of this name; a lock on the device itself catches it.
    if (::flock(m_port.handle(), LOCK_EX | LOCK_NB) == -1 && errno == EWOULDBLOCK) {
        m_port.close();
        throw open_errors::InUse(path);
    }

    m_devicePath = path;
    m_settings = settings;
    m_received.clear();
    m_lost = false;
    m_counters = LineCounters();
    m_haveCounters = false;
    m_haveCounters = readLineCounters(&m_counters) == LineRead::Read;
    m_supervising = true;
    m_lineTimer.start();
}

void PosixSerialDevice::closePort()
{
    m_lineTimer.stop();
    m_supervising = false;
    m_lost = false;
    m_received.clear();
    if (m_port.isOpen())
        m_port.close();
}

void PosixSerialDevice::loseDevice(CloseWhen when)
{
    if (!m_port.isOpen())
        return;
    if (!m_lost) {
        m_lost = true;
        m_supervising = false;
        m_lineTimer.stop();
        if (when == CloseWhen::Later) {
            // Closing inside QSerialPort's own notification would delete the
            // notifier that is running; the close is queued ahead of the event.
            QMetaObject::invokeMethod(
                this,
                [this] {
                    if (m_lost)
                        closePort();
                },
                Qt::QueuedConnection);
        }
        emit lineEvent(comm_event::DeviceLost);
    }
    if (when == CloseWhen::Now)
        closePort();
}

void PosixSerialDevice::failWrite(const QString &reason)
{
    const QString path = m_devicePath;
    loseDevice(CloseWhen::Now);
    throw CommError{comm_error::WriteFailed, QStringLiteral("Cannot write to %1: %2").arg(path, reason)};
}

PosixSerialDevice::LineRead PosixSerialDevice::readLineCounters(LineCounters *counters)
{
    const int fd = m_port.handle();
#ifdef TIOCGICOUNT
    serial_icounter_struct icount {};
    if (::ioctl(fd, TIOCGICOUNT, &icount) == -1)
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
    if (::ioctl(fd, TIOCMGET, &bits) == -1)
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
    if (!m_supervising)
        return;
    LineCounters now;
    const LineRead result = readLineCounters(&now);
    // A port without line states (a pseudo-terminal) still tells that it is gone.
    if (result == LineRead::Gone
        || (result == LineRead::Unsupported && deviceGone(m_port.handle()))) {
        loseDevice(CloseWhen::Now);
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

void PosixSerialDevice::onPortError(QSerialPort::SerialPortError error)
{
    if (!m_supervising || m_lost
        || (error != QSerialPort::ReadError && error != QSerialPort::ResourceError))
        return;
    // QSerialPort also reports a momentarily full or empty queue this way; only a
    // device that no longer answers is gone. A hung-up one repeats the error
    // thousands of times a second, so the first one acts.
    if (deviceGone(m_port.handle()))
        loseDevice(CloseWhen::Later);
}

void PosixSerialDevice::queueArrived()
{
    const QByteArray arrived = m_port.readAll();
    m_received += arrived.left(ReceiveQueueBytes - m_received.size());
}

QByteArray PosixSerialDevice::drainKernel(qsizetype room)
{
    QByteArray bytes;
    char chunk[4096];
    while (bytes.size() < room) {
        const size_t wanted = size_t(qMin<qsizetype>(qsizetype(sizeof chunk), room - bytes.size()));
        const ssize_t count = ::read(m_port.handle(), chunk, wanted);
        if (count > 0) {
            bytes.append(chunk, qsizetype(count));
            if (size_t(count) < wanted)
                break;
            continue;
        }
        if (count == -1 && errno == EINTR)
            continue;
        if (count == -1 && isGoneError(errno))
            loseDevice(CloseWhen::Now);
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
