#pragma once

#include "comm_control.h"
#include "serial_settings.h"

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

// The terminals that are active system consoles now, as names under /dev
// ("ttyS0", "tty1"), from the kernel's lists.
QStringList ActiveSystemConsoles();

// The serial port of Linux and other POSIX systems, on QSerialPort.
// COM N opens the device named by [Ports] COMN in the settings store, else
// /dev/ttyS<N-1>. Line states are polled on the owner's thread while the port is
// open; a device that vanishes closes the port and queues comm_event::DeviceLost.
class PosixCommControl final : public CommControl
{
    Q_OBJECT

public:
    explicit PosixCommControl(QObject *parent = nullptr);
    ~PosixCommControl() override;

    // The device that port number `port` opens; empty below 1.
    static QString DevicePath(int port);

    // Where the active system consoles are learnt at each open; tests give their own.
    using ConsoleList = std::function<QStringList()>;
    void setConsoleList(ConsoleList consoles);

    // Refused with 8000 while the port is open.
    void setCommPort(qint16 port) override;
    // Refused with 8000 while open and 380 for text that is no line setting;
    // applied at the next open (8015 there when the device refuses it).
    void setSettings(const QString &settings) override;
    // 0 (text) and 1 (binary) give the same bytes; anything else is 380.
    void setInputMode(qint32 mode) override;
    // 0 takes everything; N > 0 takes at most N bytes per read; negative is 380.
    void setInputLen(qint16 length) override;
    // 8002 when no terminal is there, and for an active system console: taking
    // that over would reconfigure and write to the machine's own console.
    void setPortOpen(bool open) override;
    bool portOpen() const override;
    // Empty while closed.
    QByteArray input() override;
    // 8018 while closed; 8021 when the bytes cannot be written, which closes
    // the port and queues DeviceLost.
    void setOutput(const QByteArray &bytes) override;
    // 0 while closed; at most 4096, the size of the receive queue.
    qint16 inBufferCount() override;

private:
    enum class LineRead { Read, Unsupported, Gone };
    enum class CloseWhen { Now, Later };

    void openPort();
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
    qint16 m_commPort = 1;
    QString m_settingsText = QStringLiteral("9600,N,8,1");
    LineSettings m_settings;
    qint16 m_inputLen = 0;
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
