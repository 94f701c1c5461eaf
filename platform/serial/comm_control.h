#pragma once

#include "platform/serial/comm_codes.h"
#include "platform/serial/serial_settings.h"

#include <QByteArray>
#include <QObject>
#include <QString>

namespace platform {

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

// The serial control over a device of the system: the properties' rules, the
// same everywhere, with each system supplying only the device's open, close,
// read, write and count, and its events (through postCommEvent).
class DeviceCommControl : public CommControl
{
    Q_OBJECT

public:
    using CommControl::CommControl;

    // Refused with 8000 while the port is open.
    void setCommPort(qint16 port) final;
    // Refused with 8000 while open and 380 for text that is no line setting;
    // applied at the next open.
    void setSettings(const QString &settings) final;
    // 0 (text) and 1 (binary) give the same bytes; anything else is 380.
    void setInputMode(qint32 mode) final;
    // 0 takes everything; N > 0 takes at most N bytes per read; negative is 380.
    void setInputLen(qint16 length) final;
    // Opening an open port is 8005, a port number below 1 is 8002; the
    // device's own failures keep their numbers.
    void setPortOpen(bool open) final;
    bool portOpen() const final;
    // Empty while closed.
    QByteArray input() final;
    // 8018 while closed.
    void setOutput(const QByteArray &bytes) final;
    // 0 while closed; at most 32767.
    qint16 inBufferCount() final;

protected:
    // Opens COM `port` with the settings, from closed (or from a device found
    // gone); throws CommError.
    virtual void openDevice(int port, const LineSettings &settings, const QString &settingsText) = 0;
    // Harmless when closed; never throws.
    virtual void closeDevice() = 0;
    virtual bool deviceOpen() const = 0;
    // Up to maxBytes (0: all) of what has been received; called only while open.
    virtual QByteArray readDevice(qint16 maxBytes) = 0;
    // Called only while open, with the bytes to send.
    virtual void writeDevice(const QByteArray &bytes) = 0;
    // What has been received and not read; called only while open.
    virtual qint64 countDevice() = 0;

private:
    void refuseWhileOpen() const;

    qint16 m_commPort = 1;
    QString m_settingsText = QStringLiteral("9600,N,8,1");
    LineSettings m_settings; // 9600,N,8,1
    qint16 m_inputLen = 0;
};

} // namespace platform
