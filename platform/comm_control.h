#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

namespace platform {

// Codes that CommEvent holds while OnComm is delivered.
namespace comm_event {
constexpr qint16 Send = 1;
constexpr qint16 Receive = 2;
constexpr qint16 CTS = 3;
constexpr qint16 DSR = 4;
constexpr qint16 CD = 5;
constexpr qint16 Ring = 6;
constexpr qint16 EndOfFile = 7;
constexpr qint16 Break = 1001;
constexpr qint16 Frame = 1004;
constexpr qint16 Overrun = 1006;
constexpr qint16 RxOver = 1008;
constexpr qint16 RxParity = 1009;
constexpr qint16 TxFull = 1010;
// Ours: the device went away (adapter unplugged, peer hung up); the port is
// already closed when this arrives.
constexpr qint16 DeviceLost = 2000;
} // namespace comm_event

// Numbers of the errors that the serial control raises.
namespace comm_error {
constexpr int InvalidPropertyValue = 380;
constexpr int PortAlreadyOpen = 8000;    // a setting that needs the port closed
constexpr int InvalidPortNumber = 8002;
constexpr int PortInUse = 8005;
constexpr int CannotOpen = 8012;
constexpr int SettingsRejected = 8015;
constexpr int PortNotOpen = 8018;
constexpr int ReadFailed = 8020;
constexpr int WriteFailed = 8021;
} // namespace comm_error

// A numbered error with a description, thrown by the serial control.
struct CommError
{
    int number = 0;
    QString description;
};

// What the main window needs of a serial port, named after the properties of
// the serial control it was designed around. Data are bytes, one per character.
// Line events are queued and delivered as OnComm on the owner's thread, with
// CommEvent holding their code; never from inside a property call.
class CommControl : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    virtual void setCommPort(qint16 port) = 0;
    virtual void setSettings(const QString &settings) = 0;
    virtual void setInputMode(qint32 mode) = 0;
    virtual void setInputLen(qint16 length) = 0;
    // True opens port CommPort with the Settings; False closes it (never throws).
    virtual void setPortOpen(bool open) = 0;
    virtual bool portOpen() const = 0;
    // Removes and returns what has been received.
    virtual QByteArray input() = 0;
    // Has reached the operating system when it returns.
    virtual void setOutput(const QByteArray &bytes) = 0;
    // What has been received, counted even when no event loop ran meanwhile.
    virtual qint16 inBufferCount() = 0;
    qint16 commEvent() const { return m_commEvent; }

signals:
    void OnComm();

protected:
    // Queues one event for delivery on this object's thread.
    void postCommEvent(qint16 code);

private:
    qint16 m_commEvent = 0;
};

} // namespace platform
