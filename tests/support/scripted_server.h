#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QTcpSocket>
#include <QMutex>
#include <QString>
#include <QStringList>

#include <atomic>
#include <memory>
#include <future>
#include <thread>

// A Telnet server on 127.0.0.1 that speaks just enough of the Com Port Control
// Option for a test to script the awkward things that real servers rarely do.
// It runs on a thread of its own, since the client's open blocks the test's
// thread, and serves one connection.
class ScriptedServer
{
public:
    // Byte strings as hex text, as RFC 854 and 2217 write them: "FF FD 2C".
    static QByteArray Hex(const QString &hex);
    // IAC SB COM-PORT <command and value as hex> IAC SE.
    static QByteArray ComPort(const QString &commandAndValue);
    // The acknowledgements of 2400 baud, 8 data bits, even parity, 2 stop bits
    // and no flow control.
    static QByteArray LineAcknowledged();

    // What a client sent, read without the client's own parser: the data, with
    // IAC IAC undone, and each Telnet command as its hex text ("FF FB 2C").
    struct ClientStream
    {
        QByteArray data;
        QStringList commands;
    };
    static ClientStream Split(const QByteArray &stream);

    enum class Stop {
        Never,
        AtAccept,      // closes as soon as the client is connected
        AtComPort,     // closes when the client asks for the COM-PORT option
        AfterSettings, // acknowledges the line settings and closes at once
    };

    // What a broken or hostile server keeps doing, without end unless said.
    enum class Habit {
        None,
        // From its answer to the probe: line errors, no data, reading on.
        CommandsAfterProbe,
        // Once connected (the reset byte seen): DO and WILL of every option,
        // reading nothing for FloodMs, then reading again.
        RequestsUnread,
        // Once connected: BINARY switched off and on, reading nothing.
        SwitchesUnread,
        // Once connected: IAC SB COM-PORT, and no IAC SE ever.
        EndlessSubnegotiation,
    };
    static constexpr int FloodMs = 1500;

    // The server inside TLS: its certificate chain and key (PEM files), and
    // the CA whose desk certificates it requires, if any.
    struct Tls
    {
        QString certificate; // empty: plain Telnet
        QString key;
        QString clientCa;
    };

    struct Script
    {
        QByteArray greeting;                       // sent once the client is connected
        QByteArray onComPort = Hex("FF FD 2C");    // answer to IAC WILL COM-PORT
        QByteArray onLine = LineAcknowledged();    // answer to the client's SET-CONTROL
        QByteArray onProbe = QByteArray("\xA5");   // answer to each probe byte 0xC0
        bool byteByByte = false;                   // every byte in a segment of its own
        Stop stop = Stop::Never;
        Habit habit = Habit::None;
        Tls tls;
        QHostAddress listenOn = QHostAddress(QHostAddress::LocalHost);
    };

    explicit ScriptedServer(Script script);
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer &) = delete;
    ScriptedServer &operator=(const ScriptedServer &) = delete;

    // The port it listens on; 0 when it could not listen.
    quint16 port() const { return m_port; }

    // Everything the client sent so far, waiting up to timeoutMs for `size` bytes.
    QByteArray received(qsizetype size = 0, int timeoutMs = 0) const;
    bool clientConnected() const { return m_connected; }
    // Why the TLS handshake failed on the server's side; empty while it has not.
    QString tlsFailure() const;
    // How many times a habit's flood has sent its pattern so far.
    qint64 floodRepeats() const { return m_floodRepeats; }
    // Sent from the server's thread, as its script's bytes are.
    void send(const QByteArray &bytes);
    // Closes the connection: with a reset (RST), or with an orderly FIN.
    void close(bool reset);

private:
    void serve(std::promise<quint16> &listening);
    std::unique_ptr<QTcpSocket> socketFor(qintptr descriptor);

    Script m_script;
    quint16 m_port = 0;
    std::atomic<bool> m_connected{false};
    std::atomic<qint64> m_floodRepeats{0};
    std::atomic<bool> m_stopping{false};
    mutable QMutex m_mutex;
    QByteArray m_received; // guarded by m_mutex
    QByteArray m_toSend;   // guarded by m_mutex
    QString m_tlsFailure;  // guarded by m_mutex
    int m_closeRequest = 0; // guarded by m_mutex: 1 FIN, 2 RST
    std::thread m_thread;
};
