#pragma once

#include "platform/comm_control.h"
#include "platform/win32/win32_serial_port.h"

#include <memory>

namespace platform {

// The serial control of Windows, over the Qt-free Win32 engine. The engine's
// line events come from its worker thread and are queued to this object's
// thread; a device that goes away, or any failed read or write on the open
// port, closes the port and then queues comm_event::DeviceLost, once.
class Win32CommControl final : public CommControl
{
    Q_OBJECT

public:
    // Any engine will do, so that the adapter is tested without Windows.
    explicit Win32CommControl(std::unique_ptr<win32::SerialEngine> engine, QObject *parent = nullptr);
    ~Win32CommControl() override;

    // Refused with 8000 while the port is open.
    void setCommPort(qint16 port) override;
    // Refused with 8000 while open and 380 for text that is no line setting;
    // applied at the next open (8015 there for a combination the DCB refuses).
    void setSettings(const QString &settings) override;
    // 0 (text) and 1 (binary) give the same bytes; anything else is 380.
    void setInputMode(qint32 mode) override;
    // 0 takes everything; N > 0 takes at most N bytes per read; negative is 380.
    void setInputLen(qint16 length) override;
    // Opening an open port is 8005; the engine's failures keep their numbers.
    void setPortOpen(bool open) override;
    bool portOpen() const override;
    // Empty while closed.
    QByteArray input() override;
    // 8018 while closed.
    void setOutput(const QByteArray &bytes) override;
    // 0 while closed; at most 32767.
    qint16 inBufferCount() override;

private:
    void refuseWhileOpen() const;
    void deliver(quint64 opening, qint16 code);
    void loseDevice();

    std::unique_ptr<win32::SerialEngine> m_engine;
    qint16 m_commPort = 1;
    QString m_settings = QStringLiteral("9600,N,8,1");
    qint16 m_inputLen = 0;
    // Numbers the openings, so that an event queued before a close is dropped
    // instead of reaching a later opening.
    quint64 m_opening = 0;
};

} // namespace platform
