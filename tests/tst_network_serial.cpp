// The serial control on a serial server of the network (RFC 2217), against a
// scripted server that does what real servers rarely do: commands split byte
// by byte or between data bytes, options and subnegotiations nobody asked for,
// a refused COM-PORT option, silence, a flood.
#include "tests/support/comm_error_from.h"
#include "tests/support/scripted_server.h"
#ifndef Q_OS_WIN
#include "tests/support/serial_server_process.h"
#endif

#include "platform/serial/network/network_serial_device.h"
#include "platform/serial/serial_comm_control.h"
#include "protocol/tarvex_protocol.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTcpServer>
#include <QtTest>

#include <chrono>
#include <thread>

using platform::CommControl;
using platform::CommError;
namespace comm_error = platform::comm_error;
namespace comm_event = platform::comm_event;
using Script = ScriptedServer::Script;

namespace {

const QString LineSettings = QString::fromLatin1(tarvex_protocol::LineSettings);
const QByteArray ProbeByte(1, char(tarvex_protocol::Probe));

QString urlOf(quint16 port)
{
    return QStringLiteral("rfc2217://127.0.0.1:%1").arg(port);
}

// The program's serial control with COM 1 mapped to `url`.
std::unique_ptr<CommControl> controlFor(const QString &url)
{
    return platform::CreateSerialCommControl([url](int number) { return platform::PortTargetFromMapping(number, url); });
}

void openLine(CommControl &control)
{
    control.setCommPort(1);
    control.setSettings(LineSettings);
    control.setInputLen(0);
    control.setPortOpen(true);
}

// What the client may ever send besides data: its own options, and the line
// settings for 2400,E,8,2 with the masks for the modem lines and breaks.
const QStringList ClientNegotiation = {
    "FF FB 2C", "FF FD 00", "FF FB 00", "FF FD 03", "FF FB 03",
    "FF FA 2C 01 00 00 09 60 FF F0", "FF FA 2C 02 08 FF F0", "FF FA 2C 03 03 FF F0",
    "FF FA 2C 04 02 FF F0", "FF FA 2C 05 01 FF F0", "FF FA 2C 0B BB FF F0", "FF FA 2C 0A 10 FF F0",
};

// Waits, without running an event loop, until `count` bytes are waiting or
// the time is up, as the probe's wait does.
qint16 countWithin(CommControl &control, qint16 count, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    qint16 waiting = control.inBufferCount();
    while (waiting < count && !deadline.hasExpired()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        waiting = control.inBufferCount();
    }
    return waiting;
}

// The codes of the OnComm events delivered so far.
class EventLog
{
public:
    explicit EventLog(CommControl *control)
    {
        QObject::connect(control, &CommControl::OnComm, control,
                         [this, control] { codes.append(control->commEvent()); });
    }
    QList<qint16> codes;
};

quint16 portNobodyListensOn()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort();
}

} // namespace

class tst_NetworkSerial : public QObject
{
    Q_OBJECT

private slots:
    void opensOnceTheLineIsAcknowledged_data();
    void opensOnceTheLineIsAcknowledged();
    void onlyDataIsCounted_data();
    void onlyDataIsCounted();
    void openFailures_data();
    void openFailures();
    void notificationsBecomeLineEvents_data();
    void notificationsBecomeLineEvents();
    void serverGoneIsOneDeviceLost_data();
    void serverGoneIsOneDeviceLost();
    void floodKeepsTheQueueBounded();
    void insideTls_data();
    void insideTls();

private:
    // The lab's CA, the bench's certificate for 127.0.0.1 and the desk's, made
    // once with tools/lab-certs.sh; empty with the reason where it cannot be.
    QString labFolder(QString *why);
    QTemporaryDir m_lab;
    bool m_labMade = false;
};

void tst_NetworkSerial::opensOnceTheLineIsAcknowledged_data()
{
    QTest::addColumn<QByteArray>("greeting");
    QTest::addColumn<QByteArray>("onLine");
    QTest::addColumn<bool>("byteByByte");
    QTest::addColumn<QStringList>("refusals"); // the client's answers to the greeting
    QTest::addColumn<QByteArray>("dataAtOpen");

    const QByteArray acks = ScriptedServer::LineAcknowledged();
    const QByteArray unknownOptions = ScriptedServer::Hex("FF FD 18 FF FB 01 FF FD 22"); // terminal type, echo, linemode
    const QStringList refused = {"FF FC 18", "FF FE 01", "FF FC 22"};
    const QByteArray unknownSubnegotiations = ScriptedServer::Hex("FF FA 18 01 FF F0 FF FA 63 00 01 02 FF FF 03 FF F0");
    // Longer than any subnegotiation read, within the bound past which one is a protocol error.
    const QByteArray overLong = ScriptedServer::Hex("FF FA 2C 6B") + QByteArray(4000, 'A') + ScriptedServer::Hex("FF F0")
        + ScriptedServer::Hex("FF FA 18") + QByteArray(4000, char(0xFF)) + ScriptedServer::Hex("FF F0");

    for (const bool byteByByte : {false, true}) {
        const QString how = byteByByte ? QStringLiteral(", byte by byte") : QString();
        const auto row = [&how](const char *name) -> QTestData & { return QTest::addRow("%s%s", name, qPrintable(how)); };
        row("a plain server") << QByteArray() << acks << byteByByte << QStringList() << QByteArray();
        row("options it does not know") << unknownOptions << acks << byteByByte << refused << QByteArray();
        row("subnegotiations it does not know") << unknownSubnegotiations << acks << byteByByte << QStringList()
                                                << QByteArray();
        row("the server asks for COM-PORT first") << ScriptedServer::Hex("FF FD 2C FF FB 03 FF FD 00") << acks
                                                  << byteByByte << QStringList() << QByteArray();
        // Data that comes before the line is set waits for the input that empties the buffer.
        row("commands and data between the acknowledgements")
            << QByteArray()
            << acks.left(10) + ScriptedServer::Hex("FF F1 41 FF FF FF FA 2C 6B B0 FF F0") + acks.mid(10)
            << byteByByte << QStringList() << QByteArray("A\xFF");
    }
    // Too long to send a byte at a time.
    QTest::newRow("over-long subnegotiations") << overLong << acks << false << QStringList() << QByteArray();
}

void tst_NetworkSerial::opensOnceTheLineIsAcknowledged()
{
    QFETCH(QByteArray, greeting);
    QFETCH(QByteArray, onLine);
    QFETCH(bool, byteByByte);
    QFETCH(QStringList, refusals);
    QFETCH(QByteArray, dataAtOpen);
    Script script;
    script.greeting = greeting;
    script.onLine = onLine;
    script.byteByByte = byteByByte;
    ScriptedServer server(script);
    QVERIFY(server.port() != 0);
    const auto control = controlFor(urlOf(server.port()));
    EventLog events(control.get());

    const auto error = CommErrorFrom([&] { openLine(*control); });
    QVERIFY2(!error, error ? qPrintable(error->description + QStringLiteral("; the client sent ")
                                        + server.received().toHex(' '))
                           : "");
    QVERIFY(control->portOpen());
    QCOMPARE(control->input(), dataAtOpen);

    control->setOutput(ProbeByte);
    QCOMPARE(countWithin(*control, 1, 2000), qint16(1));
    QCOMPARE(control->input(), QByteArray("\xA5"));
    // 0xFF is data like any other byte: doubled on the way.
    control->setOutput(QByteArray("\xFF\x80", 2));

    server.received(1, 1000);
    QTest::qWait(50);
    const ScriptedServer::ClientStream stream = ScriptedServer::Split(server.received());
    QCOMPARE(stream.data, QByteArray("\xC0\xFF\x80", 3));
    QStringList unexpected = stream.commands;
    for (const QString &command : ClientNegotiation + refusals)
        unexpected.removeAll(command);
    QCOMPARE(unexpected, QStringList());
    for (const QString &command : refusals)
        QVERIFY2(stream.commands.contains(command), qPrintable(command));
    for (const QString &setting : ClientNegotiation.mid(5))
        QCOMPARE(stream.commands.count(setting), 1);
    QVERIFY(control->portOpen());
    QCOMPARE(events.codes, QList<qint16>());
}

void tst_NetworkSerial::onlyDataIsCounted_data()
{
    QTest::addColumn<QByteArray>("answer"); // the server's answer to the probe
    QTest::addColumn<bool>("byteByByte");
    QTest::addColumn<QByteArray>("data");

    const QByteArray notifyBaseline = ScriptedServer::ComPort("6B B0");
    for (const bool byteByByte : {false, true}) {
        const QString how = byteByByte ? QStringLiteral(", byte by byte") : QString();
        const auto row = [&how](const char *name) -> QTestData & { return QTest::addRow("%s%s", name, qPrintable(how)); };
        row("one byte") << QByteArray("\xA5") << byteByByte << QByteArray("\xA5");
        row("IAC IAC is one 0xFF") << ScriptedServer::Hex("FF FF") << byteByByte << QByteArray("\xFF");
        row("a command, then the byte") << ScriptedServer::Hex("FF F1 A5") << byteByByte << QByteArray("\xA5");
        row("a notification alone is no answer") << notifyBaseline << byteByByte << QByteArray();
        row("notifications and options between data bytes")
            << QByteArray("A") + notifyBaseline + ScriptedServer::Hex("FF FB 05") + QByteArray("B")
                   + ScriptedServer::ComPort("6A 00") + QByteArray("C")
            << byteByByte << QByteArray("ABC");
    }
}

void tst_NetworkSerial::onlyDataIsCounted()
{
    QFETCH(QByteArray, answer);
    QFETCH(bool, byteByByte);
    QFETCH(QByteArray, data);
    Script script;
    script.onProbe = answer;
    script.byteByByte = byteByByte;
    ScriptedServer server(script);
    const auto tested = controlFor(urlOf(server.port()));
    openLine(*tested);
    QVERIFY(tested->portOpen());

    tested->setOutput(ProbeByte);
    const qint16 expected = qint16(data.size());
    QCOMPARE(countWithin(*tested, qMax<qint16>(expected, 1), expected ? 2000 : 300), expected);
    QTest::qWait(50);
    QCOMPARE(tested->input(), data);
    QCOMPARE(tested->inBufferCount(), qint16(0));
}

void tst_NetworkSerial::openFailures_data()
{
    QTest::addColumn<QString>("server");   // what answers at the address
    QTest::addColumn<int>("number");
    QTest::addColumn<QString>("description"); // <address> stands for 127.0.0.1:PORT

    const int invalid = comm_error::InvalidPortNumber;
    QTest::newRow("COM-PORT refused") << "refuses COM-PORT" << invalid
                                      << "Invalid port number: <address> is no serial port: the server refuses the "
                                         "COM-PORT option";
    QTest::newRow("closed at once") << "closes at accept" << invalid
                                    << "Invalid port number: <address> closed the connection";
    QTest::newRow("closed during the negotiation") << "closes at COM-PORT" << invalid
                                                   << "Invalid port number: <address> closed the connection";
    QTest::newRow("no answer to the negotiation")
        << "silent" << invalid << "Invalid port number: <address> did not set up the serial port within 3 s";
    QTest::newRow("the line set otherwise")
        << "sets parity none" << int(comm_error::SettingsRejected)
        << "<address> does not accept the settings 2400,E,8,2: the server set parity none, not even";
    QTest::newRow("nothing listening") << "nothing" << invalid
                                       << "Invalid port number: cannot reach <address> (Connection refused)";
    QTest::newRow("unknown host") << "unknown host" << invalid
                                  << "Invalid port number: no-such-bench.invalid was not found";
}

void tst_NetworkSerial::openFailures()
{
    QFETCH(QString, server);
    QFETCH(int, number);
    QFETCH(QString, description);
    Script script;
    if (server == u"refuses COM-PORT")
        script.onComPort = ScriptedServer::Hex("FF FE 2C");
    else if (server == u"closes at accept")
        script.stop = ScriptedServer::Stop::AtAccept;
    else if (server == u"closes at COM-PORT")
        script.stop = ScriptedServer::Stop::AtComPort;
    else if (server == u"silent")
        script.onComPort.clear();
    else if (server == u"sets parity none")
        script.onLine = ScriptedServer::ComPort("65 00 00 09 60") + ScriptedServer::ComPort("66 08")
            + ScriptedServer::ComPort("67 01") + ScriptedServer::ComPort("68 02") + ScriptedServer::ComPort("69 01");
    ScriptedServer scripted(script);
    quint16 port = scripted.port();
    QString url = urlOf(port);
    if (server == u"nothing") {
        port = portNobodyListensOn();
        url = urlOf(port);
    } else if (server == u"unknown host") {
        url = QStringLiteral("rfc2217://no-such-bench.invalid:2217");
    }
    const auto control = controlFor(url);

    QElapsedTimer clock;
    clock.start();
    const auto error = CommErrorFrom([&] { openLine(*control); });
    const qint64 took = clock.elapsed();
    QVERIFY(error);
    QCOMPARE(error->number, number);
    const QString expected = description.replace(QStringLiteral("<address>"), QStringLiteral("127.0.0.1:%1").arg(port));
    QVERIFY2(error->description.startsWith(expected), qPrintable(error->description));
    QVERIFY2(took < platform::NetworkOpenTimeoutMs + 500, qPrintable(QString::number(took)));
    if (server == u"silent")
        QVERIFY2(took >= platform::NetworkOpenTimeoutMs - 100, qPrintable(QString::number(took)));
    QVERIFY(!control->portOpen());
    QCOMPARE(control->inBufferCount(), qint16(0));
    // Nothing but the negotiation went out.
    QCOMPARE(ScriptedServer::Split(scripted.received()).data, QByteArray());
}

void tst_NetworkSerial::notificationsBecomeLineEvents_data()
{
    QTest::addColumn<QByteArray>("notifications"); // after a baseline of CTS, DSR and CD on
    QTest::addColumn<QList<qint16>>("events");

    QTest::newRow("the base switched off") << ScriptedServer::ComPort("6B 00")
                                           << QList<qint16>{comm_event::CTS, comm_event::DSR, comm_event::CD};
    QTest::newRow("a short CTS pulse, seen as its delta")
        << ScriptedServer::ComPort("6B B1") << QList<qint16>{comm_event::CTS};
    QTest::newRow("a break") << ScriptedServer::ComPort("6A 10") << QList<qint16>{comm_event::Break};
    QTest::newRow("the same state again") << ScriptedServer::ComPort("6B B0") << QList<qint16>{};
    QTest::newRow("data ready and shift register empty") << ScriptedServer::ComPort("6A 61") << QList<qint16>{};
}

void tst_NetworkSerial::notificationsBecomeLineEvents()
{
    QFETCH(QByteArray, notifications);
    QFETCH(QList<qint16>, events);
    Script script;
    script.onLine = ScriptedServer::LineAcknowledged() + ScriptedServer::ComPort("6B B0");
    ScriptedServer server(script);
    const auto control = controlFor(urlOf(server.port()));
    EventLog log(control.get());
    openLine(*control);
    QVERIFY(control->portOpen());
    QTest::qWait(50);
    QCOMPARE(log.codes, QList<qint16>());

    server.send(notifications + QByteArray("Z"));
    // The byte after the notifications tells when they have all arrived.
    QCOMPARE(countWithin(*control, 1, 2000), qint16(1));
    QVERIFY(log.codes.isEmpty()); // never from inside a property call
    QTest::qWait(50);
    QCOMPARE(log.codes, events);
    QVERIFY(control->portOpen());
}

void tst_NetworkSerial::serverGoneIsOneDeviceLost_data()
{
    QTest::addColumn<bool>("reset");
    QTest::addColumn<bool>("writeAfter");
    QTest::newRow("closed") << false << false;
    QTest::newRow("reset") << true << false;
    QTest::newRow("reset, then a byte written") << true << true;
}

void tst_NetworkSerial::serverGoneIsOneDeviceLost()
{
    QFETCH(bool, reset);
    QFETCH(bool, writeAfter);
    ScriptedServer server(Script{});
    const auto control = controlFor(urlOf(server.port()));
    EventLog log(control.get());
    openLine(*control);
    QVERIFY(control->portOpen());

    server.close(reset);
    if (writeAfter) {
        // The reset has arrived, but no event loop has run to see it: the write finds it.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const auto error = CommErrorFrom([&] { control->setOutput(QByteArray("\x56")); });
        QVERIFY(error);
        QCOMPARE(error->number, comm_error::WriteFailed);
        QVERIFY2(error->description.startsWith(QStringLiteral("Cannot write to 127.0.0.1:%1: ").arg(server.port())),
                 qPrintable(error->description));
        QVERIFY(!control->portOpen());
    }
    QTRY_COMPARE_WITH_TIMEOUT(log.codes, QList<qint16>{comm_event::DeviceLost}, 2000);
    QVERIFY(!control->portOpen());
    QTest::qWait(100);
    QCOMPARE(log.codes, QList<qint16>{comm_event::DeviceLost});
    QCOMPARE(control->inBufferCount(), qint16(0));

    // The next open is a new connection.
    ScriptedServer next(Script{});
    const auto again = controlFor(urlOf(next.port()));
    openLine(*again);
    QVERIFY(again->portOpen());
}

void tst_NetworkSerial::floodKeepsTheQueueBounded()
{
    ScriptedServer server(Script{});
    const auto control = controlFor(urlOf(server.port()));
    openLine(*control);
    QVERIFY(control->portOpen());

    // Eight megabytes of data with doubled 0xFF and commands between them.
    QByteArray chunk;
    for (int i = 0; i < 4096; ++i)
        chunk += char(i % 200);
    chunk += ScriptedServer::Hex("FF FF FF F1") + ScriptedServer::ComPort("6A 00");
    QByteArray flood;
    for (int i = 0; i < 2048; ++i)
        flood += chunk;
    server.send(flood);

    // The queue fills to its size and no further, with or without an event loop.
    QCOMPARE(countWithin(*control, platform::ReceiveQueueBytes, 5000), qint16(platform::ReceiveQueueBytes));
    QTest::qWait(200);
    QCOMPARE(control->inBufferCount(), qint16(platform::ReceiveQueueBytes));
    QCOMPARE(control->input(), chunk.left(platform::ReceiveQueueBytes));
    // The window stays responsive meanwhile, and the port open.
    QElapsedTimer clock;
    clock.start();
    QTest::qWait(100);
    QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(control->portOpen());
    QVERIFY(control->inBufferCount() <= platform::ReceiveQueueBytes);
    control->setPortOpen(false);
    QCOMPARE(control->inBufferCount(), qint16(0));
}

QString tst_NetworkSerial::labFolder(QString *why)
{
#ifdef Q_OS_WIN
    // Wine's Schannel takes neither a desk certificate nor a CA from a file
    // (see the README); the same rows run on Linux, through OpenSSL.
    *why = QStringLiteral("TLS with a desk certificate and a CA file does not work under Wine's Schannel");
    return QString();
#else
    if (!m_labMade) {
        const QString lab = m_lab.path();
        m_labMade = SerialServerProcess::RunLabCerts({QStringLiteral("ca"), lab})
            && SerialServerProcess::RunLabCerts({QStringLiteral("bench"), lab, QStringLiteral("127.0.0.1")})
            && SerialServerProcess::RunLabCerts({QStringLiteral("desk"), lab, QStringLiteral("desk1")});
    }
    if (!m_labMade)
        *why = QStringLiteral("tools/lab-certs.sh could not make the certificates (is openssl installed?)");
    return m_labMade ? m_lab.path() : QString();
#endif
}

// What ser2net does not do, inside TLS: commands split across TLS records, a
// break, data between notifications.
void tst_NetworkSerial::insideTls_data()
{
    QTest::addColumn<bool>("byteByByte"); // every byte in a TLS record of its own
    QTest::newRow("whole") << false;
    QTest::newRow("a record per byte") << true;
}

void tst_NetworkSerial::insideTls()
{
    QFETCH(bool, byteByByte);
    QString why;
    const QString lab = labFolder(&why);
    if (lab.isEmpty())
        QSKIP(qPrintable(why));
    Script script;
    script.byteByByte = byteByByte;
    script.tls.certificate = lab + QStringLiteral("/127.0.0.1.crt");
    script.tls.key = lab + QStringLiteral("/127.0.0.1.key");
    script.tls.clientCa = lab + QStringLiteral("/ca.crt");
    script.onLine = ScriptedServer::LineAcknowledged() + ScriptedServer::ComPort("6B B0");
    ScriptedServer server(script);
    QVERIFY(server.port() != 0);
    platform::TlsFiles files{lab + QStringLiteral("/ca.crt"), lab + QStringLiteral("/desk1.crt"),
                             lab + QStringLiteral("/desk1.key")};
    const QString url = QStringLiteral("rfc2217s://127.0.0.1:%1").arg(server.port());
    const auto control = platform::CreateSerialCommControl([url, files](int number) {
        platform::PortTarget target = platform::PortTargetFromMapping(number, url);
        target.tlsFiles = files;
        return target;
    });
    EventLog log(control.get());
    const auto error = CommErrorFrom([&] { openLine(*control); });
    QVERIFY2(!error, error ? qPrintable(error->description + QStringLiteral("; the server says: ") + server.tlsFailure())
                           : "");
    control->setOutput(ProbeByte);
    QCOMPARE(countWithin(*control, 1, 2000), qint16(1));
    QCOMPARE(control->input(), QByteArray("\xA5"));

    server.send(QByteArray("A") + ScriptedServer::ComPort("6A 10") + QByteArray("\xFF\xFF", 2));
    QCOMPARE(countWithin(*control, 2, 3000), qint16(2));
    QCOMPARE(control->input(), QByteArray("A\xFF"));
    QTRY_COMPARE(log.codes, QList<qint16>{comm_event::Break});
    control->setOutput(QByteArray("\x56"));
    server.received(1, 1000);
    QTRY_VERIFY(ScriptedServer::Split(server.received()).data.endsWith("\xC0\x56"));
    QVERIFY(control->portOpen());
}

QTEST_GUILESS_MAIN(tst_NetworkSerial)
#include "tst_network_serial.moc"
