#pragma once

#include "platform/serial/comm_codes.h"
#include "platform/serial/posix/system_console.h"
#include "platform/serial/serial_device.h"

#include <QList>
#include <QSerialPort>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>

namespace platform {

// Running counts of line-state transitions and receive errors, as a serial
// driver keeps them; they only grow while the port stays open.
struct LineCounters
{
    int cts = 0;
    int dsr = 0;
    int cd = 0;
    int ring = 0;
    int breaks = 0;
    int frame = 0;
    int overrun = 0;
    int bufferOverrun = 0;
    int parity = 0;
};

// The comm_event codes for what happened between two readings: one per counter
// that moved, however far, so a pulse too short to see as a state still counts.
QList<qint16> LineEventsBetween(const LineCounters &before, const LineCounters &after);

// The serial port of Linux and other POSIX systems, on QSerialPort: a terminal
// device. Line states are polled on the owner's thread while the port is open;
// a device that vanishes closes the port and reports comm_event::DeviceLost.
class PosixSerialDevice final : public SerialDevice
{
    Q_OBJECT

public:
    explicit PosixSerialDevice(QObject *parent = nullptr);
    ~PosixSerialDevice() override;

    // Where the active system consoles are learnt at each open; tests give their own.
    using ConsoleList = std::function<QStringList()>;
    void setConsoleList(ConsoleList consoles);

    // 8002 when no terminal is there, and for an active system console: taking
    // that over would reconfigure and write to the machine's own console. 8015
    // for settings the device refuses.
    void open(const PortTarget &target, const LineSettings &settings, const QString &settingsText) override;
    void close() override;
    bool isOpen() const override;
    // At most what the receive queue holds.
    QByteArray read(qint16 maxBytes) override;
    // 8021 when the bytes cannot be written, which closes the port and reports DeviceLost.
    void write(const QByteArray &bytes) override;
    // At most 4096, the size of the receive queue.
    qint64 count() override;

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
    ConsoleList m_consoles = ActiveSystemConsoles;
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

} // namespace platform
