#pragma once

#include "platform/serial/comm_control.h"

#include <QCursor>
#include <QGuiApplication>
#include <QMap>
#include <QStringList>
#include <memory>
#include <optional>

// What a RecordingCommControl saw; outlives the control, which its window deletes.
struct CommLog
{
    QStringList calls;          // "CommPort=3", "PortOpen=True", "Output=c0", ...
    QByteArray written;         // every byte handed to Output, in order
    bool open = false;
    bool destroyed = false;
    QList<bool> busyWhileOpening;  // the wait cursor was up at each PortOpen=True
};

// A serial control that plays a Tarvex base: what is written is recorded, and a
// probe makes `answerBytes` bytes wait in the receive buffer.
class RecordingCommControl final : public platform::CommControl
{
public:
    explicit RecordingCommControl(std::shared_ptr<CommLog> log)
        : m_log(std::move(log))
    {
    }
    ~RecordingCommControl() override { m_log->destroyed = true; m_log->open = false; }

    // The base.
    int answerBytes = 1;
    int staleBytes = 0;                       // waiting when the port opens
    std::optional<platform::CommError> openError;
    std::optional<platform::CommError> writeError;  // every Output fails with it
    bool openSilentlyFails = false;           // PortOpen reads False after True
    // What COM numbers lead to; one not in it is unmapped, as on this system.
    QMap<qint16, platform::PortTarget> targets;

    // Queued like the real control's events.
    void raise(qint16 code) { postCommEvent(code); }

    void setCommPort(qint16 port) override { record(QStringLiteral("CommPort=%1").arg(port)); m_port = port; }
    void setSettings(const QString &settings) override { record(QStringLiteral("Settings=") + settings); }
    void setInputMode(qint32 mode) override { record(QStringLiteral("InputMode=%1").arg(mode)); }
    void setInputLen(qint16 length) override { record(QStringLiteral("InputLen=%1").arg(length)); }

    void setPortOpen(bool open) override
    {
        record(open ? QStringLiteral("PortOpen=True") : QStringLiteral("PortOpen=False"));
        if (!open) {
            m_log->open = false;
            return;
        }
        const QCursor *cursor = QGuiApplication::overrideCursor();
        m_log->busyWhileOpening << (cursor && cursor->shape() == Qt::WaitCursor);
        if (openError)
            throw *openError;
        if (openSilentlyFails)
            return;
        m_log->open = true;
        m_buffered = staleBytes;
    }
    bool portOpen() const override { return m_log->open; }

    QByteArray input() override
    {
        record(QStringLiteral("Input"));
        const QByteArray taken(m_buffered, '\x55');
        m_buffered = 0;
        return taken;
    }

    void setOutput(const QByteArray &bytes) override
    {
        record(QStringLiteral("Output=") + QString::fromLatin1(bytes.toHex()));
        if (!m_log->open)
            throw platform::CommError{platform::comm_error::PortNotOpen, QStringLiteral("Port not open")};
        if (writeError)
            throw *writeError;
        m_log->written += bytes;
        if (bytes.contains('\xC0'))
            m_buffered += answerBytes;
    }

    qint16 inBufferCount() override
    {
        record(QStringLiteral("InBufferCount"));
        return static_cast<qint16>(m_buffered);
    }

    platform::PortTarget target(qint16 port) const override
    {
        return targets.value(port, platform::PortTargetFromMapping(port, QString()));
    }

    qint16 port() const { return m_port; }

private:
    void record(const QString &call) { m_log->calls << call; }

    std::shared_ptr<CommLog> m_log;
    int m_buffered = 0;
    qint16 m_port = 0;
};
