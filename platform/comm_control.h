#pragma once

#include "platform/comm_codes.h"

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

} // namespace platform
