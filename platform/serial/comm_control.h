#pragma once

#include "platform/serial/comm_codes.h"
#include "platform/serial/serial_device.h"
#include "platform/serial/serial_settings.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

namespace platform {

// What the main window needs of a serial port, named after the properties of
// the serial control it was designed around. Data are bytes, one per character.
// Line events are queued and delivered as OnComm on the owner's thread, with
// CommEvent holding their code; never from inside a property call. An event
// is queued once while it waits: the same code again before its delivery
// adds nothing.
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
    // What COM `port` leads to now, as the next open would find it; opens nothing.
    virtual PortTarget target(qint16 port) const = 0;

signals:
    void OnComm();

protected:
    // Queues one event for delivery on this object's thread.
    void postCommEvent(qint16 code);

private:
    qint16 m_commEvent = 0;
    QList<qint16> m_queued; // codes waiting for delivery, each once
};

// The serial control's rules, the same on every system and for every kind of
// port. At each open, COM N is resolved to what it leads to, and a device of
// that kind is made for the opening: the system's serial port, or a serial
// server on the network.
class DeviceCommControl final : public CommControl
{
    Q_OBJECT

public:
    using DeviceFactory = std::function<std::unique_ptr<SerialDevice>(const PortTarget &target)>;

    DeviceCommControl(PortResolver resolve, DeviceFactory makeDevice, QObject *parent = nullptr);
    ~DeviceCommControl() override;

    // Refused with 8000 while the port is open.
    void setCommPort(qint16 port) override;
    // Refused with 8000 while open and 380 for text that is no line setting;
    // applied at the next open.
    void setSettings(const QString &settings) override;
    // 0 (text) and 1 (binary) give the same bytes; anything else is 380.
    void setInputMode(qint32 mode) override;
    // 0 takes everything; N > 0 takes at most N bytes per read; negative is 380.
    void setInputLen(qint16 length) override;
    // Opening an open port is 8005; a port number below 1, or one that leads
    // nowhere usable, is 8002; the device's own failures keep their numbers.
    void setPortOpen(bool open) override;
    bool portOpen() const override;
    // Empty while closed.
    QByteArray input() override;
    // 8018 while closed.
    void setOutput(const QByteArray &bytes) override;
    // 0 while closed; at most 32767.
    qint16 inBufferCount() override;
    // What the resolver says, asked afresh.
    PortTarget target(qint16 port) const override;

    // The device of the latest opening, or null; for tests that reach below it.
    SerialDevice *device() const { return m_device.get(); }

private:
    void refuseWhileOpen() const;

    PortResolver m_resolve;
    DeviceFactory m_makeDevice;
    // Owned here alone, with no QObject parent: the factory hands it over, and
    // each opening destroys the last one at once.
    std::unique_ptr<SerialDevice> m_device;
    qint16 m_commPort = 1;
    QString m_settingsText = QStringLiteral("9600,N,8,1");
    LineSettings m_settings; // 9600,N,8,1
    qint16 m_inputLen = 0;
};

} // namespace platform
