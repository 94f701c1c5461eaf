#pragma once

#include "platform/serial/comm_codes.h"
#include "platform/serial/port_target.h"
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

// 8002 for a port that leads nowhere usable, the reason after the error's own words.
inline CommError InvalidPortError(const QString &reason)
{
    return {comm_error::InvalidPortNumber,
            QStringLiteral("%1: %2").arg(QString::fromLatin1(comm_text::InvalidPortNumber), reason)};
}

// One kind of port below the serial control's rules: a terminal device, the
// Win32 engine, a serial server on the network. The control checks every
// property; a device only opens, closes, reads, writes and counts.
class SerialDevice : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    // Opens `target` with the settings, from closed (or from a device found
    // gone); throws CommError.
    virtual void open(const PortTarget &target, const LineSettings &settings, const QString &settingsText) = 0;
    // Harmless when closed; never throws.
    virtual void close() = 0;
    // False once the device is found gone, although it may be closed only later.
    virtual bool isOpen() const = 0;
    // Up to maxBytes (0: all) of what has been received; called only while open.
    virtual QByteArray read(qint16 maxBytes) = 0;
    // Called only while open; has reached the system when it returns.
    virtual void write(const QByteArray &bytes) = 0;
    // What has been received and not read; called only while open.
    virtual qint64 count() = 0;

signals:
    // A comm_event code: a line event, or DeviceLost once the device is gone.
    // May be emitted inside a call; the control queues it.
    void lineEvent(qint16 code);
};

} // namespace platform
