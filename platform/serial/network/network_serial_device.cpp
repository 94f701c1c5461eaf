#include "platform/serial/network/network_serial_device.h"

#include "platform/serial/comm_codes.h"
#include "platform/serial/network/host_lookup.h"
#include "platform/serial/network/rfc2217_codec.h"
#include "platform/serial/network/socket_tuning.h"
#include "platform/serial/network/tls_setup.h"
#include "platform/serial/serial_comm_control.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QNetworkProxy>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTimer>

#include <chrono>
#include <optional>
#include <string_view>


namespace platform {

// A serial port on a serial server of the lab network, reached over Telnet
// with the Com Port Control Option (RFC 2217), inside TLS where the mapping
// says so. The line settings, the modem lines and breaks travel with the
// data, so the port behaves as a local one: CTS, DSR and CD changes and breaks
// are line events, and a connection that closes, resets or falls silent is a
// device lost.
class NetworkSerialDevice final : public SerialDevice
{
    Q_OBJECT

public:
    explicit NetworkSerialDevice(QObject *parent = nullptr);
    ~NetworkSerialDevice() override;

    // Looks the host up, connects, completes the TLS handshake where asked and
    // negotiates, within NetworkOpenTimeoutMs in all; returns once the server
    // has acknowledged the line settings. Nothing is sent to a bench inside
    // TLS before its certificate is verified. 8002 for a host that cannot be
    // reached, fails the TLS checks or is no serial port, 8015 for settings the
    // server's port does not take.
    void open(const PortTarget &target, const LineSettings &settings, const QString &settingsText) override;
    // False from the moment the connection is found gone.
    bool isOpen() const override;
    // Drops the connection at once.
    void close() override;

    // 8021 when the bytes cannot be sent, which closes the port and reports DeviceLost.
    void write(const QByteArray &bytes) override;
    // The data the server sent, its commands taken out.
    QByteArray read(qint16 maxBytes) override;
    qint64 count() override;

private:
    void makeSocket(const PortTarget &target);
    void connectSocket(const PortTarget &target, const QDeadlineTimer &deadline);
    bool connectTo(const QHostAddress &address, const PortTarget &target, const QDeadlineTimer &deadline);
    QString closedDuringNegotiation() const;
    void negotiate(const QString &settingsText, const QDeadlineTimer &deadline);
    void enableKeepAlive();
    void acknowledgeAtOnce();
    // Takes what the system has received, without waiting and without an event
    // loop: a slice at most, whatever it holds.
    void pump();
    void onReadyRead();
    void takeArrived();
    int graceMilliseconds() const;
    void expectReady(const QString &settingsText) const;
    void expectStillConnected(const QString &settingsText);
    void onSocketError(QAbstractSocket::SocketError error);
    void loseDevice();
    [[noreturn]] void failWrite(const QString &reason);

    // A socket for each opening; a QSslSocket for a bench inside TLS.
    std::unique_ptr<QTcpSocket> m_socket;
    bool m_tls = false;
    bool m_deskCertificate = false;
    QElapsedTimer m_connecting;
    qint64 m_connectMicroseconds = 0; // the TCP connect: about a round trip
    // The first error of the TLS handshake: a later wait's timeout must not hide it.
    std::optional<QAbstractSocket::SocketError> m_handshakeError;
    QString m_handshakeErrorText;
    QByteArray m_firstBytes; // what a plain connection heard first, to tell a TLS port
    std::unique_ptr<rfc2217::ClientSession> m_session;
    QString m_address; // HOST:PORT, for the error texts
    // The receive queue, bounded as a local port's.
    QByteArray m_received;
    qint64 m_taken = 0; // bytes taken from the socket in all, for the slices
    // What the event loop has taken in the current pace period, and whether
    // the rest waits for the period's end.
    QElapsedTimer m_paceClock;
    qint64 m_takenThisPeriod = 0;
    bool m_readPaused = false;
    bool m_open = false;
    bool m_lost = false;
};

namespace {

// Time for the system to take a write.
constexpr int WriteGraceMilliseconds = 1000;
// What the socket holds for us at most, so that a flood is handled in slices.
constexpr qint64 SocketReadBytes = 64 * 1024;
// The most that one count or read takes from the socket, in bytes and in
// time: a server that sends commands without end never fills the queue.
constexpr qint64 PumpSliceBytes = 4 * SocketReadBytes;
constexpr int PumpSliceMilliseconds = 20;
// The most that the event loop takes in one pace period; a flood waits for
// the next period, when input and timers have had their turn.
constexpr int PaceMilliseconds = 10;
// Bytes waiting to go out beyond what the system has taken: only replies to
// the server can pile up there, since a write returns once its data is taken.
constexpr qint64 WriteBacklogBytes = 8 * 1024;
// How long the open waits for what a server sends at once, if at all (a plain
// server's first words before a TLS hello, a close right after the line
// settings): three times the TCP connect, a round trip, within these bounds.
constexpr qint64 GraceMinMicroseconds = 1000;
constexpr qint64 GraceMaxMicroseconds = 100 * 1000;

std::chrono::milliseconds remaining(const QDeadlineTimer &deadline)
{
    return std::chrono::milliseconds(qMax<qint64>(0, deadline.remainingTime()));
}

} // namespace

NetworkSerialDevice::NetworkSerialDevice(QObject *parent)
    : SerialDevice(parent)
{
}

NetworkSerialDevice::~NetworkSerialDevice()
{
    close();
}

void NetworkSerialDevice::open(const PortTarget &target, const LineSettings &settings, const QString &settingsText)
{
    close();
    if (target.kind != PortTarget::Kind::Network)
        throw CommError{comm_error::InvalidPortNumber, QString::fromLatin1(comm_text::InvalidPortNumber)};
    const QDeadlineTimer deadline(NetworkOpenTimeoutMs);
    m_address = NetworkAddressText(target);
    try {
        makeSocket(target);
        m_session = std::make_unique<rfc2217::ClientSession>(rfc2217::RequestFor(settings));
        connectSocket(target, deadline);
        enableKeepAlive();
        negotiate(settingsText, deadline);
        expectStillConnected(settingsText);
    } catch (const CommError &) {
        close();
        throw;
    }
    m_open = true;
}

void NetworkSerialDevice::makeSocket(const PortTarget &target)
{
    m_tls = target.tls;
    m_deskCertificate = !target.tlsFiles.certificate.isEmpty();
    m_firstBytes.clear();
    m_handshakeError.reset();
    if (m_tls) {
        auto socket = std::make_unique<QSslSocket>();
        socket->setSslConfiguration(TlsConfigurationFor(target.tlsFiles));
        connect(socket.get(), &QSslSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
            const auto *ssl = static_cast<const QSslSocket *>(m_socket.get());
            if (!m_handshakeError && ssl && !ssl->isEncrypted() && error != QAbstractSocket::SocketTimeoutError) {
                m_handshakeError = error;
                m_handshakeErrorText = ssl->errorString();
            }
        });
        m_socket = std::move(socket);
    } else {
        m_socket = std::make_unique<QTcpSocket>();
    }
    m_socket->setProxy(QNetworkProxy::NoProxy);
    m_socket->setReadBufferSize(SocketReadBytes);
    connect(m_socket.get(), &QTcpSocket::readyRead, this, &NetworkSerialDevice::onReadyRead);
    connect(m_socket.get(), &QTcpSocket::disconnected, this, &NetworkSerialDevice::loseDevice);
    connect(m_socket.get(), &QTcpSocket::errorOccurred, this, &NetworkSerialDevice::onSocketError);
}

void NetworkSerialDevice::connectSocket(const PortTarget &target, const QDeadlineTimer &deadline)
{
    QList<QHostAddress> addresses;
    // The mapping has let through only plain dotted IPv4 and bracketed IPv6 addresses.
    const QHostAddress literal(target.host);
    if (!literal.isNull()) {
        addresses.append(literal);
    } else {
        const HostLookupResult found = LookUpHost(target.host, deadline);
        switch (found.outcome) {
        case HostLookupResult::Outcome::Found:
            addresses = found.addresses;
            break;
        case HostLookupResult::Outcome::NotFound:
            throw InvalidPortError(QStringLiteral("%1 was not found (%2)").arg(target.host, found.error));
        case HostLookupResult::Outcome::TimedOut:
            throw InvalidPortError(QStringLiteral("%1 was not found within %2 s")
                                  .arg(target.host, QString::number(NetworkOpenTimeoutMs / 1000)));
        case HostLookupResult::Outcome::Busy:
            throw InvalidPortError(QStringLiteral("%1 was not looked up: the name server has not answered an earlier lookup")
                                  .arg(target.host));
        }
    }

    QString failure;
    for (const QHostAddress &address : addresses) {
        if (deadline.hasExpired())
            break;
        if (connectTo(address, target, deadline))
            return;
        failure = m_socket->errorString();
        m_socket->abort();
    }
    if (deadline.hasExpired() || failure.isEmpty())
        throw InvalidPortError(QStringLiteral("%1 did not answer within %2 s")
                              .arg(m_address, QString::number(NetworkOpenTimeoutMs / 1000)));
    throw InvalidPortError(QStringLiteral("cannot reach %1 (%2)").arg(m_address, failure));
}

// True once connected, and for a bench inside TLS once its certificate has
// passed every check; a failed check ends the open, whatever address is left.
bool NetworkSerialDevice::connectTo(const QHostAddress &address, const PortTarget &target,
                                    const QDeadlineTimer &deadline)
{
    m_connecting.start();
    if (!m_tls) {
        m_socket->connectToHost(address, target.tcpPort);
        const bool connected = m_socket->waitForConnected(int(remaining(deadline).count()));
        m_connectMicroseconds = m_connecting.nsecsElapsed() / 1000;
        return connected;
    }
    auto *socket = static_cast<QSslSocket *>(m_socket.get());
    socket->connectToHost(address, target.tcpPort);
    if (!socket->waitForConnected(int(remaining(deadline).count())))
        return false;
    m_connectMicroseconds = m_connecting.nsecsElapsed() / 1000;
    // A plain Telnet server speaks first and a TLS server never does: started
    // on a plain port, the handshake's hello would reach the bench's serial
    // line as bytes that switch faults. A round trip or so tells.
    if (socket->bytesAvailable() > 0 || socket->waitForReadyRead(graceMilliseconds()) || !m_firstBytes.isEmpty())
        throw InvalidPortError(QStringLiteral("%1 is a plain Telnet port, not TLS (rfc2217://%1?)").arg(m_address));
    // The bench is checked against the name in the mapping, not the address it was found at.
    socket->setPeerVerifyName(target.host);
    socket->startClientEncryption();
    // The desk's own files may fail at once, before any wait.
    if (!m_handshakeError && socket->waitForEncrypted(int(remaining(deadline).count())))
        return true;
    const QString why = HandshakeFailure(m_address, socket->sslHandshakeErrors(),
                                         m_handshakeError.value_or(socket->error()),
                                         m_handshakeError ? m_handshakeErrorText : socket->errorString(),
                                         m_deskCertificate);
    throw InvalidPortError(why);
}

int NetworkSerialDevice::graceMilliseconds() const
{
    const qint64 micros = qBound(GraceMinMicroseconds, 3 * m_connectMicroseconds, GraceMaxMicroseconds);
    return int((micros + 999) / 1000);
}

// A TLS 1.3 bench checks the desk's certificate after the handshake, and a
// TLS port answers a plain client's Telnet with a TLS alert.
QString NetworkSerialDevice::closedDuringNegotiation() const
{
    if (m_tls)
        return AfterHandshakeFailure(m_address, m_socket->error(), m_socket->errorString(), m_deskCertificate);
    if (LooksLikeTls(m_firstBytes))
        return QStringLiteral("%1 speaks TLS: map it as rfc2217s://%1").arg(m_address);
    // A TLS port closes on a plain client's Telnet without an answer.
    if (m_firstBytes.isEmpty())
        return QStringLiteral("%1 closed the connection without a word (a TLS port? then rfc2217s://%1)").arg(m_address);
    return QStringLiteral("%1 closed the connection").arg(m_address);
}

void NetworkSerialDevice::negotiate(const QString &settingsText, const QDeadlineTimer &deadline)
{
    const std::string opening = m_session->opening();
    m_socket->write(opening.data(), qint64(opening.size()));
    m_socket->flush();
    while (m_session->state() == rfc2217::ClientSession::State::Negotiating) {
        if (m_socket->state() != QAbstractSocket::ConnectedState)
            throw InvalidPortError(closedDuringNegotiation());
        if (deadline.hasExpired())
            throw InvalidPortError(QStringLiteral("%1 did not set up the serial port within %2 s")
                                  .arg(m_address, QString::number(NetworkOpenTimeoutMs / 1000)));
        acknowledgeAtOnce();
        // readyRead is emitted from inside the wait; no event loop runs meanwhile.
        if (m_socket->waitForReadyRead(int(remaining(deadline).count())))
            takeArrived();
    }
    expectReady(settingsText);
}

void NetworkSerialDevice::expectReady(const QString &settingsText) const
{
    switch (m_session->state()) {
    case rfc2217::ClientSession::State::Ready:
        return;
    case rfc2217::ClientSession::State::LineRejected:
        throw CommError{comm_error::SettingsRejected,
                        QStringLiteral("%1 does not accept the settings %2: %3")
                            .arg(m_address, settingsText, QString::fromStdString(m_session->failure()))};
    case rfc2217::ClientSession::State::ProtocolError:
        throw InvalidPortError(QStringLiteral("%1 broke the Telnet protocol: %2")
                              .arg(m_address, QString::fromStdString(m_session->failure())));
    default:
        throw InvalidPortError(QStringLiteral("%1 is no serial port: %2")
                              .arg(m_address, QString::fromStdString(m_session->failure())));
    }
}

// A server that closes right after the settings leaves no port to probe; seen
// here, that is an unusable port rather than a probe that cannot be written.
void NetworkSerialDevice::expectStillConnected(const QString &settingsText)
{
    if (m_socket->state() == QAbstractSocket::ConnectedState)
        m_socket->waitForReadyRead(graceMilliseconds());
    if (m_socket->state() != QAbstractSocket::ConnectedState)
        throw InvalidPortError(closedDuringNegotiation());
    // What came meanwhile may have undone the settings.
    expectReady(settingsText);
}

void NetworkSerialDevice::enableKeepAlive()
{
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1); // each command byte goes at once
    m_socket->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    socket_tuning::NoticeSilence(m_socket->socketDescriptor());
}

void NetworkSerialDevice::acknowledgeAtOnce()
{
    const qintptr socket = m_socket->socketDescriptor();
    if (socket != -1)
        socket_tuning::AcknowledgeAtOnce(socket);
}

void NetworkSerialDevice::close()
{
    m_open = false;
    m_lost = false;
    m_readPaused = false;
    m_received.clear();
    m_session.reset();
    if (!m_socket)
        return;
    m_socket->disconnect(this);
    // A socket closed with data unread answers with a reset, and a reset can
    // overtake the last byte written, which the server then never reads.
    // What is left unread is taken first, a slice at most.
    qint64 drained = 0;
    while (drained < PumpSliceBytes && m_socket->state() == QAbstractSocket::ConnectedState
           && m_socket->waitForReadyRead(0))
        drained += m_socket->readAll().size();
    m_socket->readAll();
    m_socket->abort();
    // Deleted by the event loop: close() may run inside one of its own notifications.
    m_socket.release()->deleteLater();
}

bool NetworkSerialDevice::isOpen() const
{
    return m_open && !m_lost;
}

QByteArray NetworkSerialDevice::read(qint16 maxBytes)
{
    pump();
    if (maxBytes <= 0 || m_received.size() <= maxBytes)
        return std::exchange(m_received, QByteArray());
    const QByteArray taken = m_received.left(maxBytes);
    m_received.remove(0, maxBytes);
    return taken;
}

void NetworkSerialDevice::write(const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return;
    const std::string escaped =
        rfc2217::ClientSession::escapeData(std::string_view(bytes.constData(), std::size_t(bytes.size())));
    if (m_socket->write(escaped.data(), qint64(escaped.size())) != qint64(escaped.size()))
        failWrite(m_socket->errorString());
    m_socket->flush();
    if (m_socket->bytesToWrite() > 0 && !m_socket->waitForBytesWritten(WriteGraceMilliseconds))
        failWrite(m_socket->state() == QAbstractSocket::ConnectedState ? QStringLiteral("the server takes no more data")
                                                                       : m_socket->errorString());
    if (!isOpen())
        failWrite(QStringLiteral("the connection is gone"));
}

qint64 NetworkSerialDevice::count()
{
    pump();
    return m_received.size();
}

void NetworkSerialDevice::pump()
{
    // Bytes that arrived while no event loop ran are still with the system.
    const qint64 start = m_taken;
    const QDeadlineTimer slice(PumpSliceMilliseconds);
    takeArrived();
    while (isOpen() && m_received.size() < ReceiveQueueBytes && m_taken - start < PumpSliceBytes
           && !slice.hasExpired() && m_socket->waitForReadyRead(0))
        takeArrived();
}

// A server that sends without pause would keep the event loop on its
// notifications alone (on Windows they even come before input and timers).
// Past a slice within a pace period the rest waits in the socket's bounded
// buffer, which stops its notifications, until a timer takes it up again.
void NetworkSerialDevice::onReadyRead()
{
    if (m_readPaused || !m_session)
        return;
    if (!m_paceClock.isValid() || m_paceClock.hasExpired(PaceMilliseconds)) {
        m_paceClock.start();
        m_takenThisPeriod = 0;
    }
    if (m_takenThisPeriod >= PumpSliceBytes) {
        m_readPaused = true;
        QTimer::singleShot(PaceMilliseconds, Qt::CoarseTimer, this, [this] {
            m_readPaused = false;
            onReadyRead();
        });
        return;
    }
    const qint64 before = m_taken;
    takeArrived();
    m_takenThisPeriod += m_taken - before;
}

void NetworkSerialDevice::takeArrived()
{
    if (!m_session)
        return;
    acknowledgeAtOnce();
    const QByteArray bytes = m_socket->readAll();
    if (bytes.isEmpty())
        return;
    m_taken += bytes.size();
    if (m_firstBytes.size() < 2)
        m_firstBytes += bytes.left(2 - m_firstBytes.size());
    rfc2217::Received received;
    m_session->receive(std::string_view(bytes.constData(), std::size_t(bytes.size())), received);
    // What arrives while the queue is full is dropped, as on a local port's overrun.
    const qsizetype room = ReceiveQueueBytes - m_received.size();
    m_received.append(received.data.data(), qMin<qsizetype>(room, qsizetype(received.data.size())));
    if (!received.reply.empty()) {
        m_socket->write(received.reply.data(), qint64(received.reply.size()));
        m_socket->flush();
    }
    if (m_socket->bytesToWrite() == 0)
        m_session->repliesSent();
    for (const std::int16_t code : received.events)
        emit lineEvent(code);
    // A server that takes back the serial port, breaks the protocol or asks
    // without reading the answers leaves no port to talk to.
    if (m_open
        && (m_session->state() != rfc2217::ClientSession::State::Ready
            || m_socket->bytesToWrite() > WriteBacklogBytes))
        loseDevice();
}

void NetworkSerialDevice::onSocketError(QAbstractSocket::SocketError error)
{
    // A wait that ends without data reports a timeout and leaves the connection as it was.
    if (error == QAbstractSocket::SocketTimeoutError && m_socket->state() == QAbstractSocket::ConnectedState)
        return;
    loseDevice();
}

void NetworkSerialDevice::loseDevice()
{
    if (!m_open || m_lost)
        return;
    m_lost = true;
    // Closing inside the socket's own notification is left to the event loop.
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (m_lost)
                close();
        },
        Qt::QueuedConnection);
    emit lineEvent(comm_event::DeviceLost);
}

void NetworkSerialDevice::failWrite(const QString &reason)
{
    const QString address = m_address;
    loseDevice();
    throw CommError{comm_error::WriteFailed, QStringLiteral("Cannot write to %1: %2").arg(address, reason)};
}

std::unique_ptr<SerialDevice> CreateNetworkSerialDevice()
{
    return std::make_unique<NetworkSerialDevice>();
}

} // namespace platform

#include "network_serial_device.moc"
