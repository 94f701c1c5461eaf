#include "platform/serial/comm_codes.h"
#include "platform/serial/network/rfc2217_codec.h"
#include "platform/serial/serial_settings.h"

#include <QtTest>

#include <random>

// Byte streams are written out from RFC 854, 855 and 2217 as hex text: IAC FF,
// SB FA, SE F0, WILL FB, WONT FC, DO FD, DONT FE; options BINARY 00, SGA 03,
// COM-PORT 2C; the server's COM-PORT codes are the client's plus 100 (0x64).
using platform::rfc2217::ClientSession;
using platform::rfc2217::LineRequest;
using platform::rfc2217::Received;
namespace comm_event = platform::comm_event;

namespace {

QByteArray bytes(const QString &hex)
{
    QString digits = hex;
    digits.remove(QLatin1Char(' '));
    for (const QChar c : digits) {
        if (!c.isDigit() && !QStringLiteral("ABCDEFabcdef").contains(c))
            qFatal("not hex in a table: %s", qPrintable(hex));
    }
    if (digits.size() % 2 != 0)
        qFatal("odd number of hex digits in a table: %s", qPrintable(hex));
    return QByteArray::fromHex(digits.toLatin1());
}

QString repeated(const QString &hex, int count)
{
    QStringList parts;
    for (int i = 0; i < count; ++i)
        parts << hex;
    return parts.join(QLatin1Char(' '));
}

// IAC SB COM-PORT <command and value> IAC SE.
QString comPort(const QString &commandAndValue)
{
    return QStringLiteral("FF FA 2C %1 FF F0").arg(commandAndValue);
}

const QString DoComPort = QStringLiteral("FF FD 2C");
// The client's line settings for 2400 baud, 8 data bits, even parity, 2 stop
// bits, no flow control, then the modem state mask (CTS, DSR, CD and their
// changes) and the line state mask (break).
const QString Settings2400E82 = comPort("01 00 00 09 60") + " " + comPort("02 08") + " " + comPort("03 03")
    + " " + comPort("04 02") + " " + comPort("05 01") + " " + comPort("0B BB") + " " + comPort("0A 10");
// The server's acknowledgements of those line settings.
const QString Acks2400E82 = comPort("65 00 00 09 60") + " " + comPort("66 08") + " " + comPort("67 03") + " "
    + comPort("68 02") + " " + comPort("69 01");

QString stateName(ClientSession::State state)
{
    switch (state) {
    case ClientSession::State::Negotiating: return QStringLiteral("negotiating");
    case ClientSession::State::Ready: return QStringLiteral("ready");
    case ClientSession::State::Refused: return QStringLiteral("refused");
    case ClientSession::State::LineRejected: return QStringLiteral("line rejected");
    case ClientSession::State::ProtocolError: return QStringLiteral("protocol error");
    }
    return QStringLiteral("unknown state");
}

struct Outcome
{
    QByteArray data;
    QByteArray reply;
    QList<int> events;
    QString state;
    QString failure;
};

// Feeds the stream whole or byte by byte into one Received, as a socket would.
Outcome feed(ClientSession &session, const QByteArray &stream, bool byteByByte)
{
    Received out;
    if (byteByByte) {
        for (const char c : stream)
            session.receive(std::string_view(&c, 1), out);
    } else {
        session.receive(std::string_view(stream.constData(), std::size_t(stream.size())), out);
    }
    Outcome outcome;
    outcome.data = QByteArray(out.data.data(), qsizetype(out.data.size()));
    outcome.reply = QByteArray(out.reply.data(), qsizetype(out.reply.size()));
    for (const std::int16_t event : out.events)
        outcome.events << event;
    outcome.state = stateName(session.state());
    outcome.failure = QString::fromStdString(session.failure());
    return outcome;
}

// How often the request-flood rows send their request.
constexpr int RequestRepeats = 2000;

QString hexOf(const std::string &text)
{
    return QString::fromLatin1(QByteArray(text.data(), qsizetype(text.size())).toHex(' ').toUpper());
}

} // namespace

class tst_Rfc2217Codec : public QObject
{
    Q_OBJECT

private slots:
    void openingAsksOnce();
    void serverStreams_data();
    void serverStreams();
    void lineSettingsFollowTheRequest_data();
    void lineSettingsFollowTheRequest();
    void dataToSendHasFFDoubled_data();
    void dataToSendHasFFDoubled();
    void floodOfData();
    void repliesStayBounded_data();
    void repliesStayBounded();

private:
    static void addStream(const char *name, const QString &server, const QString &data, const QString &reply,
                          const QList<int> &events, const QString &state, const QString &failure = QString());
};

void tst_Rfc2217Codec::openingAsksOnce()
{
    const QString opening = QStringLiteral("FF FB 2C FF FD 00 FF FB 00 FF FD 03 FF FB 03");
    ClientSession session{LineRequest()};
    QCOMPARE(hexOf(session.opening()), bytes(opening).toHex(' ').toUpper());
    QCOMPARE(hexOf(session.opening()), QString());

    // A server that speaks first: what it has turned on is not asked for again.
    ClientSession late{LineRequest()};
    Received out;
    const QByteArray doComPort = bytes(DoComPort);
    late.receive(std::string_view(doComPort.constData(), std::size_t(doComPort.size())), out);
    QCOMPARE(hexOf(out.reply), bytes("FF FB 2C " + Settings2400E82).toHex(' ').toUpper());
    QCOMPARE(hexOf(late.opening()), bytes("FF FD 00 FF FB 00 FF FD 03 FF FB 03").toHex(' ').toUpper());
}

void tst_Rfc2217Codec::addStream(const char *name, const QString &server, const QString &data,
                                 const QString &reply, const QList<int> &events, const QString &state,
                                 const QString &failure)
{
    for (const bool byteByByte : {false, true}) {
        QTest::addRow("%s, %s", name, byteByByte ? "byte by byte" : "whole")
            << byteByByte << bytes(server) << bytes(data) << bytes(reply) << events << state << failure;
    }
}

// Each stream reaches a session that has sent its opening.
void tst_Rfc2217Codec::serverStreams_data()
{
    QTest::addColumn<bool>("byteByByte");
    QTest::addColumn<QByteArray>("server");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QList<int>>("events");
    QTest::addColumn<QString>("state");
    QTest::addColumn<QString>("failure");

    const QString ready = QStringLiteral("ready");
    const QString negotiating = QStringLiteral("negotiating");
    const QString refused = QStringLiteral("refused");
    const QString rejected = QStringLiteral("line rejected");
    const QString refusedText = QStringLiteral("the server refuses the COM-PORT option");
    const QString up = DoComPort + " " + Acks2400E82;
    const QString baseline = comPort("6B B0");   // CTS, DSR and CD on, no change bits

    // Negotiation.
    addStream("DO COM-PORT gets the line settings", DoComPort, "", Settings2400E82, {}, negotiating);
    addStream("every setting acknowledged", up, "", Settings2400E82, {}, ready);
    addStream("BINARY and SGA accepted both ways", "FF FB 00 FF FD 00 FF FB 03 FF FD 03", "", "", {}, negotiating);
    addStream("a server that repeats itself gets one answer",
              "FF FB 00 FF FB 00 FF FD 03 FF FD 03 FF FD 2C FF FD 2C " + Acks2400E82 + " FF FD 2C", "",
              Settings2400E82, {}, ready);
    addStream("BINARY and SGA refused while asked for", "FF FC 00 FF FE 00 FF FC 03 FF FE 03", "", "", {},
              negotiating);
    addStream("BINARY switched off once on: acknowledged once",
              "FF FB 00 FF FD 00 FF FC 00 FF FE 00 FF FC 00 FF FE 00", "", "FF FE 00 FF FC 00", {}, negotiating);
    addStream("BINARY on again after off", "FF FB 00 FF FC 00 FF FB 00", "", "FF FE 00 FF FD 00", {}, negotiating);
    addStream("COM-PORT refused before DO", "FF FE 2C", "", "", {}, refused, refusedText);
    addStream("COM-PORT refused after DO", DoComPort + " FF FE 2C FF FE 2C", "", Settings2400E82 + " FF FC 2C",
              {}, refused, refusedText);
    addStream("COM-PORT refused once ready", up + " FF FE 2C", "", Settings2400E82 + " FF FC 2C", {}, refused,
              refusedText);
    addStream("COM-PORT offered again after a refusal is declined", "FF FE 2C FF FD 2C " + Acks2400E82, "",
              "FF FC 2C", {}, refused, refusedText);
    addStream("unknown options refused once, however often asked",
              "FF FB 01 FF FD 18 FF FB 01 FF FD FF FF FD 18 FF FB 01", "", "FF FE 01 FF FC 18 FF FC FF", {},
              negotiating);
    addStream("the same option refused once on each side", "FF FD 18 FF FB 18 FF FD 18 FF FB 18", "",
              "FF FC 18 FF FE 18", {}, negotiating);
    addStream("WONT and DONT of unknown options unanswered", "FF FC 01 FF FE 18 FF FC 2C", "", "", {}, negotiating);
    addStream("the server's own side of COM-PORT refused", "FF FB 2C FF FB 2C", "", "FF FE 2C", {},
              negotiating);

    // Line settings acknowledged.
    addStream("acknowledgements in another order",
              DoComPort + " " + comPort("69 01") + " " + comPort("68 02") + " " + comPort("67 03") + " "
                  + comPort("66 08") + " " + comPort("65 00 00 09 60"),
              "", Settings2400E82, {}, ready);
    addStream("flow control not yet acknowledged",
              DoComPort + " " + comPort("65 00 00 09 60") + " " + comPort("66 08") + " " + comPort("67 03") + " "
                  + comPort("68 02") + " " + comPort("6F BB") + " " + comPort("6E 10"),
              "", Settings2400E82, {}, negotiating);
    addStream("acknowledgements before DO COM-PORT are not read", Acks2400E82 + " " + DoComPort, "",
              Settings2400E82, {}, negotiating);
    addStream("another baud rate", DoComPort + " " + comPort("65 00 00 25 80") + " " + Acks2400E82, "",
              Settings2400E82, {}, rejected, "the server set baud rate 9600, not 2400");
    addStream("another data size", DoComPort + " " + comPort("66 07"), "", Settings2400E82, {}, rejected,
              "the server set data bits 7, not 8");
    addStream("another parity", DoComPort + " " + comPort("67 01"), "", Settings2400E82, {}, rejected,
              "the server set parity none, not even");
    addStream("another stop size", DoComPort + " " + comPort("68 03"), "", Settings2400E82, {}, rejected,
              "the server set stop bits 1.5, not 2");
    addStream("flow control set", DoComPort + " " + comPort("69 03"), "", Settings2400E82, {}, rejected,
              "the server set flow control hardware, not none");
    addStream("SET-CONTROL answers about DTR and RTS are not ours",
              up + " " + comPort("69 08") + " " + comPort("69 0B"), "", Settings2400E82, {}, ready);
    addStream("another value once ready", up + " " + comPort("67 04"), "", Settings2400E82, {}, rejected,
              "the server set parity mark, not even");
    addStream("the first rejection is the one named",
              DoComPort + " " + comPort("67 02") + " " + comPort("65 00 00 25 80") + " FF FE 2C", "",
              Settings2400E82 + " FF FC 2C", {}, rejected, "the server set parity odd, not even");
    addStream("a baud rate acknowledgement of two bytes", DoComPort + " " + comPort("65 09 60"), "",
              Settings2400E82, {}, rejected, "the server sent a malformed baud rate acknowledgement");
    addStream("a parity acknowledgement without its value", DoComPort + " " + comPort("67"), "", Settings2400E82,
              {}, rejected, "the server sent a malformed line settings acknowledgement");

    // Modem and line state notifications.
    addStream("the first modem state sets the baseline", up + " " + baseline, "", Settings2400E82, {}, ready);
    addStream("change bits in the first modem state", up + " " + comPort("6B BB"), "", Settings2400E82,
              {comm_event::CTS, comm_event::DSR, comm_event::CD}, ready);
    addStream("lines that drop without change bits", up + " " + baseline + " " + comPort("6B 00"), "",
              Settings2400E82, {comm_event::CTS, comm_event::DSR, comm_event::CD}, ready);
    addStream("a change bit and a changed state give one event", up + " " + baseline + " " + comPort("6B A1"), "",
              Settings2400E82, {comm_event::CTS}, ready);
    addStream("the same modem state again", up + " " + baseline + " " + baseline, "", Settings2400E82, {}, ready);
    addStream("one line after another",
              up + " " + baseline + " " + comPort("6B A0") + " " + comPort("6B 80") + " " + comPort("6B 00"), "",
              Settings2400E82, {comm_event::CTS, comm_event::DSR, comm_event::CD}, ready);
    addStream("a ring starting is no event yet", up + " " + comPort("6B 00") + " " + comPort("6B 40"), "",
              Settings2400E82, {}, ready);
    addStream("a ring counts at its trailing edge", up + " " + comPort("6B 40") + " " + comPort("6B 00"), "",
              Settings2400E82, {comm_event::Ring}, ready);
    addStream("the trailing edge bit", up + " " + comPort("6B 04"), "", Settings2400E82, {comm_event::Ring}, ready);
    addStream("a modem state before COM-PORT is on", comPort("6B BB") + " " + DoComPort, "", Settings2400E82, {},
              negotiating);
    addStream("a modem state of two bytes", up + " " + comPort("6B 01 01"), "", Settings2400E82, {}, ready);
    addStream("a break", up + " " + comPort("6A 10"), "", Settings2400E82, {comm_event::Break}, ready);
    addStream("every line error at once", up + " " + comPort("6A 1E"), "", Settings2400E82,
              {comm_event::Break, comm_event::Frame, comm_event::Overrun, comm_event::RxParity}, ready);
    addStream("line state bits that are no error", up + " " + comPort("6A E1"), "", Settings2400E82, {}, ready);

    // Data.
    addStream("plain data", "41 42 43", "41 42 43", "", {}, negotiating);
    addStream("IAC IAC is one FF", "41 FF FF 42 FF FF FF FF", "41 FF 42 FF FF", "", {}, negotiating);
    addStream("commands between data are consumed", "41 FF F1 42 FF F9 43 FF F2 FF F6 44 FF F3 FF F0 FF 05 45",
              "41 42 43 44 45", "", {}, negotiating);
    addStream("a negotiation between data", "41 FF FB 01 42", "41 42", "FF FE 01", {}, negotiating);
    addStream("data and a notification", up + " 30 " + comPort("6A 10") + " 31", "30 31", Settings2400E82,
              {comm_event::Break}, ready);
    addStream("an IAC waiting for its next byte", "41 FF", "41", "", {}, negotiating);

    // Subnegotiations.
    addStream("a subnegotiation is never data", "41 FF FA 18 01 42 43 FF F0 44", "41 44", "", {}, negotiating);
    addStream("IAC IAC inside a subnegotiation does not end it", "FF FA 18 FF FF F0 41 FF F0 42", "42", "", {},
              negotiating);
    addStream("a command inside a subnegotiation spoils it",
              up + " FF FA 2C 6A FF FB 10 FF F0 41", "41", Settings2400E82, {}, ready);
    addStream("IAC IAC inside a notification is FF", up + " FF FA 2C 6A FF FF FF F0", "", Settings2400E82,
              {comm_event::Break, comm_event::Frame, comm_event::Overrun, comm_event::RxParity}, ready);
    addStream("an empty subnegotiation", "FF FA FF F0 41", "41", "", {}, negotiating);
    addStream("COM-PORT commands the client does not read",
              up + " " + comPort("64 73 65 72 32 6E 65 74") + " " + comPort("64") + " " + comPort("6C") + " "
                  + comPort("6D") + " " + comPort("70 03") + " " + comPort("07 01") + " " + comPort("FF FF 01"),
              "", Settings2400E82, {}, ready);
    addStream("an over-long notification is ignored", up + " " + comPort("6A 10 " + repeated("10", 100)) + " 41",
              "41", Settings2400E82, {}, ready);
    addStream("an over-long acknowledgement is not cut to size",
              DoComPort + " " + comPort("65 00 00 25 80 " + repeated("00", 70)), "", Settings2400E82, {},
              negotiating);
    addStream("a long subnegotiation of another option", "FF FA 18 " + repeated("41", 4000) + " FF F0 42", "42", "",
              {}, negotiating);
    // IAC SB, then 4,096 bytes with IAC SE as the last two.
    addStream("a subnegotiation of the longest length",
              up + " FF FA 2C 6A " + repeated("10", 4092) + " FF F0 41", "41", Settings2400E82, {}, ready);
    const QString tooLong = QStringLiteral("the server sent a subnegotiation longer than 4096 bytes");
    addStream("a subnegotiation one byte too long",
              up + " FF FA 2C 6A " + repeated("10", 4093) + " FF F0 41", "", Settings2400E82, {}, "protocol error",
              tooLong);
    // Nothing after it is read, not even the end it might have had.
    addStream("a subnegotiation without end",
              up + " 30 FF FA 2C 6B " + repeated("B1", 5000) + " FF F0 31 FF FD 18 " + comPort("6A 10"), "30",
              Settings2400E82, {}, "protocol error", tooLong);
    addStream("doubled IAC counts as sent", "FF FA 18 " + repeated("FF FF", 2100) + " FF F0 42", "", "", {},
              "protocol error", tooLong);
}

void tst_Rfc2217Codec::serverStreams()
{
    QFETCH(bool, byteByByte);
    QFETCH(QByteArray, server);
    QFETCH(QByteArray, data);
    QFETCH(QByteArray, reply);
    QFETCH(QList<int>, events);
    QFETCH(QString, state);
    QFETCH(QString, failure);

    ClientSession session{LineRequest()};
    session.opening();
    const Outcome outcome = feed(session, server, byteByByte);
    QCOMPARE(outcome.data.toHex(' '), data.toHex(' '));
    QCOMPARE(outcome.reply.toHex(' '), reply.toHex(' '));
    QCOMPARE(outcome.events, events);
    QCOMPARE(outcome.state, state);
    QCOMPARE(outcome.failure, failure);
}

// The serial control's settings text becomes the line settings sent, and the
// server's acknowledgements of them make the session ready; 0xFF in a value is
// doubled both ways.
void tst_Rfc2217Codec::lineSettingsFollowTheRequest_data()
{
    QTest::addColumn<bool>("byteByByte");
    QTest::addColumn<QString>("settings");
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<QByteArray>("acks");

    const QString masks = comPort("05 01") + " " + comPort("0B BB") + " " + comPort("0A 10");
    const struct
    {
        const char *name;
        const char *settings;
        QString sent;
        QString acks;
    } rows[] = {
        {"the trainer's line", "2400,E,8,2", Settings2400E82, Acks2400E82},
        {"no parity, one stop bit", "9600,N,8,1",
         comPort("01 00 00 25 80") + " " + comPort("02 08") + " " + comPort("03 01") + " " + comPort("04 01") + " "
             + masks,
         comPort("65 00 00 25 80") + " " + comPort("66 08") + " " + comPort("67 01") + " " + comPort("68 01") + " "
             + comPort("69 01")},
        {"odd, 7 bits, 1.5 stop bits", "1200,O,7,1.5",
         comPort("01 00 00 04 B0") + " " + comPort("02 07") + " " + comPort("03 02") + " " + comPort("04 03") + " "
             + masks,
         comPort("65 00 00 04 B0") + " " + comPort("66 07") + " " + comPort("67 02") + " " + comPort("68 03") + " "
             + comPort("69 01")},
        {"FF bytes in the baud rate, mark parity", "65535,M,5,1",
         comPort("01 00 00 FF FF FF FF") + " " + comPort("02 05") + " " + comPort("03 04") + " " + comPort("04 01")
             + " " + masks,
         comPort("65 00 00 FF FF FF FF") + " " + comPort("66 05") + " " + comPort("67 04") + " " + comPort("68 01")
             + " " + comPort("69 01")},
        {"space parity", "300,S,6,2",
         comPort("01 00 00 01 2C") + " " + comPort("02 06") + " " + comPort("03 05") + " " + comPort("04 02") + " "
             + masks,
         comPort("65 00 00 01 2C") + " " + comPort("66 06") + " " + comPort("67 05") + " " + comPort("68 02") + " "
             + comPort("69 01")},
    };
    for (const auto &row : rows) {
        for (const bool byteByByte : {false, true}) {
            QTest::addRow("%s, %s", row.name, byteByByte ? "byte by byte" : "whole")
                << byteByByte << QString::fromLatin1(row.settings) << bytes(row.sent) << bytes(row.acks);
        }
    }
}

void tst_Rfc2217Codec::lineSettingsFollowTheRequest()
{
    QFETCH(bool, byteByByte);
    QFETCH(QString, settings);
    QFETCH(QByteArray, sent);
    QFETCH(QByteArray, acks);

    const auto line = platform::ParseLineSettings(settings.toStdString());
    QVERIFY(line.has_value());
    ClientSession session{platform::rfc2217::RequestFor(*line)};
    session.opening();
    const Outcome accepted = feed(session, bytes(DoComPort), byteByByte);
    QCOMPARE(accepted.reply.toHex(' '), sent.toHex(' '));
    QCOMPARE(accepted.state, QStringLiteral("negotiating"));
    const Outcome acknowledged = feed(session, acks, byteByByte);
    QCOMPARE(acknowledged.failure, QString());
    QCOMPARE(acknowledged.state, QStringLiteral("ready"));
    QCOMPARE(acknowledged.reply, QByteArray());
}

void tst_Rfc2217Codec::dataToSendHasFFDoubled_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QByteArray>("sent");
    QTest::newRow("nothing") << QByteArray() << QByteArray();
    QTest::newRow("no FF") << bytes("C0 80 00 56") << bytes("C0 80 00 56");
    QTest::newRow("one FF") << bytes("FF") << bytes("FF FF");
    QTest::newRow("FF among bytes, and twice") << bytes("01 FF FF 02 FF") << bytes("01 FF FF FF FF 02 FF FF");
    QTest::newRow("bytes that are commands after an IAC") << bytes("FB FD FA F0") << bytes("FB FD FA F0");
}

void tst_Rfc2217Codec::dataToSendHasFFDoubled()
{
    QFETCH(QByteArray, data);
    QFETCH(QByteArray, sent);
    const std::string escaped = ClientSession::escapeData(std::string_view(data.constData(), std::size_t(data.size())));
    QCOMPARE(QByteArray(escaped.data(), qsizetype(escaped.size())).toHex(' '), sent.toHex(' '));
}

// A server that sends as fast as it can, in segments that cut through IAC IAC
// and notifications: every data byte arrives once, in order, and nothing else.
void tst_Rfc2217Codec::floodOfData()
{
    std::mt19937 random(2217);
    std::uniform_int_distribution<int> byte(0, 255);
    const QByteArray breakNotice = bytes(comPort("6A 10"));
    constexpr int Blocks = 64;
    std::string expected;
    QByteArray stream = bytes(DoComPort + " " + Acks2400E82);
    for (int block = 0; block < Blocks; ++block) {
        std::string data(16 * 1024, '\0');
        for (char &c : data)
            c = static_cast<char>(byte(random));
        expected += data;
        const std::string sent = ClientSession::escapeData(data);
        stream += QByteArray(sent.data(), qsizetype(sent.size()));
        stream += breakNotice;
    }

    ClientSession session{LineRequest()};
    session.opening();
    Received out;
    constexpr int Segment = 1459;   // not a divisor of anything above
    for (qsizetype at = 0; at < stream.size(); at += Segment) {
        const QByteArray segment = stream.mid(at, Segment);
        session.receive(std::string_view(segment.constData(), std::size_t(segment.size())), out);
    }
    QCOMPARE(out.data.size(), expected.size());
    QVERIFY(out.data == expected);
    QCOMPARE(out.events, std::vector<std::int16_t>(Blocks, comm_event::Break));
    QCOMPARE(hexOf(out.reply), bytes(Settings2400E82).toHex(' ').toUpper());
    QCOMPARE(session.state(), ClientSession::State::Ready);
}

// A server that asks and asks: what the session queues for it stays within its
// bound while the caller cannot get the replies out, and a server that reads
// them is never cut short.
void tst_Rfc2217Codec::repliesStayBounded_data()
{
    QTest::addColumn<QByteArray>("request");    // sent over and over
    QTest::addColumn<bool>("sentBetween");      // the replies handed to the system after each
    QTest::addColumn<QString>("state");
    QTest::addColumn<qsizetype>("replyBytes");  // in all

    QString everyOption;
    for (int code = 0; code < 256; ++code)
        everyOption += QStringLiteral(" FF FD %1 FF FB %1").arg(code, 2, 16, QLatin1Char('0'));
    // Refused once each: 253 that the client will not do, 254 it will not let the server do.
    const qsizetype refusals = (253 + 254) * 3;
    const qsizetype settings = bytes(Settings2400E82).size();
    QTest::newRow("every option asked for, again and again")
        << bytes(everyOption) << false << QStringLiteral("negotiating") << settings + refusals;
    // After the first WONT, each pair is answered DO BINARY, DONT BINARY.
    const QByteArray toggle = bytes("FF FC 00 FF FB 00");
    QTest::newRow("BINARY switched off and on, never read")
        << toggle << false << QStringLiteral("protocol error")
        << qsizetype(platform::rfc2217::MaxPendingReply / 3 * 3);
    QTest::newRow("BINARY switched off and on, each answer sent")
        << toggle << true << QStringLiteral("negotiating") << qsizetype((RequestRepeats - 1) * 6 + 3);
}

void tst_Rfc2217Codec::repliesStayBounded()
{
    QFETCH(QByteArray, request);
    QFETCH(bool, sentBetween);
    QFETCH(QString, state);
    QFETCH(qsizetype, replyBytes);

    ClientSession session{LineRequest()};
    session.opening();
    Received out;
    for (int i = 0; i < RequestRepeats; ++i) {
        session.receive(std::string_view(request.constData(), std::size_t(request.size())), out);
        if (sentBetween)
            session.repliesSent();
        else
            QVERIFY(out.reply.size() <= platform::rfc2217::MaxPendingReply);
    }
    QCOMPARE(stateName(session.state()), state);
    QCOMPARE(qsizetype(out.reply.size()), replyBytes);
    if (session.state() == ClientSession::State::ProtocolError)
        QCOMPARE(session.failure(), std::string("the server asks more than it reads the answers of"));
}

QTEST_APPLESS_MAIN(tst_Rfc2217Codec)
#include "tst_rfc2217_codec.moc"
