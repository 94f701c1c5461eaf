#pragma once

#include "platform/serial/network/rfc2217_codec.h"
#include "platform/serial/serial_device.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QTcpSocket>

#include <memory>

namespace platform {

// A serial port on a serial server of the lab network, reached over Telnet
// with the Com Port Control Option (RFC 2217). The line settings, the modem
// lines and breaks travel with the data, so the port behaves as a local one:
// CTS, DSR and CD changes and breaks are line events, and a connection that
// closes, resets or falls silent is a device lost.
class NetworkSerialDevice final : public SerialDevice
{
    Q_OBJECT

public:
    explicit NetworkSerialDevice(QObject *parent = nullptr);
    ~NetworkSerialDevice() override;

    // Looks the host up, connects and negotiates, within OpenTimeoutMs in all;
    // returns once the server has acknowledged the line settings. 8002 for a
    // host that cannot be reached or is no serial port, 8015 for settings
    // the server's port does not take.
    void open(const PortTarget &target, const LineSettings &settings, const QString &settingsText) override;
    void close() override;
    bool isOpen() const override;
    QByteArray read(qint16 maxBytes) override;
    // 8021 when the bytes cannot be sent, which closes the port and reports DeviceLost.
    void write(const QByteArray &bytes) override;
    qint64 count() override;

    static constexpr int OpenTimeoutMs = 3000;

private:
    void connectSocket(const PortTarget &target, const QDeadlineTimer &deadline);
    void negotiate(const QString &settingsText, const QDeadlineTimer &deadline);
    void enableKeepAlive();
    void acknowledgeAtOnce();
    // Takes what the system has received, without waiting and without an event loop.
    void pump();
    void takeArrived();
    void onSocketError(QAbstractSocket::SocketError error);
    void loseDevice();
    [[noreturn]] void failWrite(const QString &reason);

    QTcpSocket m_socket{this};
    std::unique_ptr<rfc2217::ClientSession> m_session;
    QString m_address; // HOST:PORT, for the error texts
    // The receive queue, bounded as a local port's.
    QByteArray m_received;
    bool m_open = false;
    bool m_lost = false;
};

} // namespace platform
