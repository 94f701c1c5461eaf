#include "tests/support/scripted_server.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QMutexLocker>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>

#include <chrono>
#include <future>

#ifdef Q_OS_WIN
#include <winsock2.h>
#else
#include <sys/socket.h>
#endif

namespace {

const QByteArray WillComPort = ScriptedServer::Hex("FF FB 2C");
const QByteArray SetControl = ScriptedServer::Hex("FF FA 2C 05");
constexpr char Probe = char(0xC0);
constexpr char Reset = char(0x80);
// A flood goes out in chunks, with no more than this waiting in the server's
// own buffer, so that what grows in the test's process is the client's.
constexpr qint64 FloodChunkBytes = 16 * 1024;
constexpr qint64 FloodBacklogBytes = 64 * 1024;

using Habit = ScriptedServer::Habit;

// What a habit sends over and over.
QByteArray floodPattern(Habit habit)
{
    switch (habit) {
    case Habit::CommandsAfterProbe:
        return ScriptedServer::ComPort("6A 02"); // an overrun at the bench
    case Habit::RequestsUnread: {
        QByteArray every;
        for (int code = 0; code < 256; ++code)
            every += ScriptedServer::Hex("FF FD") + char(code) + ScriptedServer::Hex("FF FB") + char(code);
        return every;
    }
    case Habit::SwitchesUnread:
        return ScriptedServer::Hex("FF FC 00 FF FB 00");
    case Habit::EndlessSubnegotiation:
        return QByteArray(1, char(0xB0));
    case Habit::None:
        break;
    }
    return QByteArray();
}

bool readsWhileFlooding(Habit habit)
{
    return habit == Habit::CommandsAfterProbe || habit == Habit::EndlessSubnegotiation;
}

} // namespace

QByteArray ScriptedServer::Hex(const QString &hex)
{
    QString digits = hex;
    digits.remove(QLatin1Char(' '));
    return QByteArray::fromHex(digits.toLatin1());
}

QByteArray ScriptedServer::ComPort(const QString &commandAndValue)
{
    return Hex(QStringLiteral("FF FA 2C %1 FF F0").arg(commandAndValue));
}

QByteArray ScriptedServer::LineAcknowledged()
{
    return ComPort("65 00 00 09 60") + ComPort("66 08") + ComPort("67 03") + ComPort("68 02") + ComPort("69 01");
}

ScriptedServer::ClientStream ScriptedServer::Split(const QByteArray &stream)
{
    ClientStream out;
    qsizetype i = 0;
    const auto byteAt = [&stream](qsizetype at) { return at < stream.size() ? quint8(stream[at]) : 0; };
    while (i < stream.size()) {
        if (byteAt(i) != 0xFF) {
            out.data += stream[i++];
            continue;
        }
        const quint8 verb = byteAt(i + 1);
        if (verb == 0xFF) {
            out.data += char(0xFF);
            i += 2;
        } else if (verb >= 0xFB && verb <= 0xFE) {
            out.commands << stream.mid(i, 3).toHex(' ').toUpper();
            i += 3;
        } else if (verb == 0xFA) {
            const qsizetype end = stream.indexOf(Hex("FF F0"), i);
            const qsizetype stop = end < 0 ? stream.size() : end + 2;
            out.commands << stream.mid(i, stop - i).toHex(' ').toUpper();
            i = stop;
        } else {
            out.commands << stream.mid(i, 2).toHex(' ').toUpper();
            i += 2;
        }
    }
    return out;
}

ScriptedServer::ScriptedServer(Script script)
    : m_script(std::move(script))
{
    std::promise<quint16> listening;
    std::future<quint16> port = listening.get_future();
    m_thread = std::thread([this, &listening] { serve(listening); });
    m_port = port.get();
}

ScriptedServer::~ScriptedServer()
{
    m_stopping = true;
    m_thread.join();
}

QByteArray ScriptedServer::received(qsizetype size, int timeoutMs) const
{
    const QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        {
            QMutexLocker lock(&m_mutex);
            if (m_received.size() >= size || deadline.hasExpired())
                return m_received;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void ScriptedServer::send(const QByteArray &bytes)
{
    QMutexLocker lock(&m_mutex);
    m_toSend += bytes;
}

void ScriptedServer::close(bool reset)
{
    QMutexLocker lock(&m_mutex);
    m_closeRequest = reset ? 2 : 1;
}

// Keeps what it accepts as descriptors, for a socket of the server's choice.
class DescriptorServer final : public QTcpServer
{
public:
    QList<qintptr> accepted;

protected:
    void incomingConnection(qintptr descriptor) override { accepted.append(descriptor); }
};

// The accepted connection, inside TLS where the script says so; null when the
// handshake fails (the client refused the bench, or the bench the client).
std::unique_ptr<QTcpSocket> ScriptedServer::socketFor(qintptr descriptor)
{
    const Tls &tls = m_script.tls;
    if (tls.certificate.isEmpty()) {
        auto plain = std::make_unique<QTcpSocket>();
        plain->setSocketDescriptor(descriptor);
        return plain;
    }
    auto socket = std::make_unique<QSslSocket>();
    socket->setSocketDescriptor(descriptor);
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setLocalCertificateChain(QSslCertificate::fromPath(tls.certificate));
    QFile key(tls.key);
    key.open(QIODevice::ReadOnly);
    configuration.setPrivateKey(QSslKey(key.readAll(), QSsl::Rsa));
    if (!tls.clientCa.isEmpty()) {
        configuration.setCaCertificates(QSslCertificate::fromPath(tls.clientCa));
        configuration.setPeerVerifyMode(QSslSocket::VerifyPeer);
    } else {
        configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    }
    socket->setSslConfiguration(configuration);
    socket->startServerEncryption();
    if (!socket->waitForEncrypted(5000)) {
        QMutexLocker lock(&m_mutex);
        m_tlsFailure = socket->errorString();
        return nullptr;
    }
    return socket;
}

QString ScriptedServer::tlsFailure() const
{
    QMutexLocker lock(&m_mutex);
    return m_tlsFailure;
}

void ScriptedServer::serve(std::promise<quint16> &listening)
{
    DescriptorServer server;
    const bool listens = server.listen(m_script.listenOn, 0);
    listening.set_value(listens ? server.serverPort() : 0);
    if (!listens)
        return;
    while (!m_stopping && server.accepted.isEmpty())
        server.waitForNewConnection(10);
    if (m_stopping)
        return;
    m_connected = true;
    const std::unique_ptr<QTcpSocket> accepted = socketFor(server.accepted.first());
    if (!accepted) {
        while (!m_stopping)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return;
    }
    QTcpSocket *socket = accepted.get();
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);

    const auto write = [this, socket](const QByteArray &bytes) {
        if (!m_script.byteByByte) {
            socket->write(bytes);
            socket->waitForBytesWritten(1000);
            return;
        }
        for (const char byte : bytes) {
            socket->write(&byte, 1);
            socket->waitForBytesWritten(1000);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    };
    const auto closeSocket = [socket](bool reset) {
        if (reset) {
            // No lingering: the system answers with a reset instead of a FIN.
            const struct linger now {1, 0};
            ::setsockopt(socket->socketDescriptor(), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char *>(&now),
                         sizeof now);
        }
        socket->close();
    };

    if (m_script.stop == Stop::AtAccept) {
        closeSocket(false);
        return;
    }
    write(m_script.greeting);
    QByteArray seen;
    bool comPortAnswered = false;
    qsizetype dataFrom = -1; // where the data begins, once the line is set

    const QByteArray pattern = floodPattern(m_script.habit);
    QByteArray chunk;
    while (!pattern.isEmpty() && chunk.size() < FloodChunkBytes)
        chunk += pattern;
    bool flooding = false;
    bool flooded = false; // once only
    QDeadlineTimer floodEnds;
    const auto startFlood = [&] {
        if (flooded)
            return;
        flooded = true;
        flooding = true;
        floodEnds = QDeadlineTimer(FloodMs);
        if (m_script.habit == Habit::EndlessSubnegotiation)
            write(Hex("FF FA 2C 6B"));
    };

    while (!m_stopping && socket->state() == QAbstractSocket::ConnectedState) {
        const bool reading = !flooding || readsWhileFlooding(m_script.habit);
        // A wait for a write may have read already; what it read is in the buffer.
        if (reading && (socket->bytesAvailable() > 0 || socket->waitForReadyRead(flooding ? 0 : 5))) {
            const QByteArray bytes = socket->readAll();
            {
                QMutexLocker lock(&m_mutex);
                m_received += bytes;
            }
            seen += bytes;
            if (!comPortAnswered && seen.contains(WillComPort)) {
                comPortAnswered = true;
                if (m_script.stop == Stop::AtComPort) {
                    closeSocket(false);
                    return;
                }
                write(m_script.onComPort);
            }
            if (dataFrom < 0 && seen.contains(SetControl)) {
                // The SET-CONTROL subnegotiation and the two masks after it hold no probe byte.
                dataFrom = seen.indexOf(SetControl);
                write(m_script.onLine);
                if (m_script.stop == Stop::AfterSettings) {
                    closeSocket(false);
                    return;
                }
            }
            if (dataFrom >= 0) {
                const qsizetype from = qMax(dataFrom, seen.size() - bytes.size());
                for (qsizetype i = from; i < seen.size(); ++i) {
                    if (seen[i] == Probe) {
                        write(m_script.onProbe);
                        if (m_script.habit == Habit::CommandsAfterProbe)
                            startFlood();
                    } else if (seen[i] == Reset && m_script.habit != Habit::None) {
                        startFlood();
                    }
                }
            }
        }
        if (flooding && m_script.habit == Habit::RequestsUnread && floodEnds.hasExpired()) {
            flooding = false;
        } else if (flooding) {
            if (socket->bytesToWrite() < FloodBacklogBytes) {
                socket->write(chunk);
                m_floodRepeats += chunk.size() / pattern.size();
            }
            socket->flush();
            if (socket->bytesToWrite() >= FloodBacklogBytes)
                socket->waitForBytesWritten(5);
        }
        QByteArray toSend;
        int closeRequest = 0;
        {
            QMutexLocker lock(&m_mutex);
            toSend = std::exchange(m_toSend, QByteArray());
            closeRequest = std::exchange(m_closeRequest, 0);
        }
        if (!toSend.isEmpty())
            write(toSend);
        if (closeRequest != 0) {
            closeSocket(closeRequest == 2);
            break;
        }
    }
    // Held open until the test ends, so that the client sees no close it did not ask for.
    while (!m_stopping)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
}
