// The serial control's rules are the same on every system: this one suite runs
// against each serial control there is. The Win32 adapter runs over a fake
// engine everywhere; the system's own serial port (the POSIX one, or the real
// Win32 engine under Wine) runs on a terminal served by tarvex-sim, which
// tests/support/serial_on_tarvex_sim.sh starts and names in
//   VELMORA_RULES_COM      the COM number that leads to it
//   VELMORA_RULES_SIM_LOG  the file that the simulator's output goes to
//   VELMORA_RULES_LINE     the line settings to open it with, when not the trainer's
//   VELMORA_RULES_SERVER_URL  a serial server on the network in front of that
//                          terminal (rfc2217://HOST:PORT), which another COM number is mapped to
#include "tests/support/comm_error_from.h"
#include "tests/support/fake_serial_engine.h"

#include "app_settings/port_mapping.h"
#include "app_settings/settings_keys.h"
#include "platform/settings/settings_store.h"
#include "platform/serial/serial_comm_control.h"
#include "protocol/tarvex_protocol.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QRegularExpression>
#include <QtTest>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <thread>

using platform::CommControl;
using platform::CommError;
namespace comm_error = platform::comm_error;
namespace protocol = tarvex_protocol;

namespace {

const QString FakeEngineBackend = QStringLiteral("Win32 adapter over a fake engine");
const QString SystemPortBackend = QStringLiteral("the system's port on tarvex-sim");
const QString NetworkBackend = QStringLiteral("ser2net in front of tarvex-sim");

// One serial control to test, and what the device at its port received.
class PortUnderTest
{
public:
    virtual ~PortUnderTest() = default;
    virtual std::unique_ptr<CommControl> makeControl() = 0;
    // A port number that leads to a device answering the probe.
    virtual int port() const = 0;
    // The settings its device takes.
    virtual QString lineSettings() const { return QString::fromLatin1(protocol::LineSettings); }
    // What the device received since this object was made, waiting at most
    // timeoutMs for `expected` bytes.
    virtual QByteArray received(qsizetype expected, int timeoutMs) = 0;
    // How often the device was opened; -1 when that cannot be seen.
    virtual int openings() const { return -1; }
};

class FakeEnginePort final : public PortUnderTest
{
public:
    FakeEnginePort() { m_script->probeAnswer = "\xA5"; }

    std::unique_ptr<CommControl> makeControl() override
    {
        return ControlOverFakeEngine(m_script);
    }
    int port() const override { return 3; }
    QByteArray received(qsizetype, int) override { return QByteArray::fromStdString(m_script->written); }
    int openings() const override { return m_script->opens; }

private:
    std::shared_ptr<EngineScript> m_script = std::make_shared<EngineScript>();
};

// The bytes come from the simulator's "rx 0x56 ..." lines.
class SimulatorPort : public PortUnderTest
{
public:
    SimulatorPort()
        : m_log(qEnvironmentVariable("VELMORA_RULES_SIM_LOG"))
    {
        bool ok = false;
        m_port = qEnvironmentVariableIntValue("VELMORA_RULES_COM", &ok);
        if (!ok || m_log.isEmpty())
            m_port = 0;
        m_line = qEnvironmentVariable("VELMORA_RULES_LINE", QString::fromLatin1(protocol::LineSettings));
        m_before = allReceived().size();
    }

    bool isValid() const { return m_port > 0; }
    std::unique_ptr<CommControl> makeControl() override
    {
        return platform::CreateSerialCommControl(ResolveComPort);
    }
    int port() const override { return m_port; }
    QString lineSettings() const override { return m_line; }
    QByteArray received(qsizetype expected, int timeoutMs) override
    {
        const QDeadlineTimer deadline(timeoutMs);
        for (;;) {
            const QByteArray bytes = allReceived().mid(m_before);
            if (bytes.size() >= expected || deadline.hasExpired())
                return bytes;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

protected:
    // Waits until nobody has the terminal open, as the simulator counts it.
    void waitUntilFreed() const
    {
        static const QRegularExpression count(QStringLiteral("^port (?:opened|closed), (\\d+) open$"),
                                              QRegularExpression::MultilineOption);
        const QDeadlineTimer deadline(3000);
        while (!deadline.hasExpired()) {
            QFile file(m_log);
            if (!file.open(QIODevice::ReadOnly))
                return;
            QString open;
            auto matches = count.globalMatch(QString::fromUtf8(file.readAll()));
            while (matches.hasNext())
                open = matches.next().captured(1);
            if (open.isEmpty() || open == u"0")
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    int m_port = 0;
    QString m_line;

private:
    QByteArray allReceived() const
    {
        static const QRegularExpression rx(QStringLiteral("^rx 0x([0-9A-F]{2}) "),
                                           QRegularExpression::MultilineOption);
        QFile file(m_log);
        if (!file.open(QIODevice::ReadOnly))
            return QByteArray();
        QByteArray bytes;
        auto matches = rx.globalMatch(QString::fromUtf8(file.readAll()));
        while (matches.hasNext())
            bytes.append(char(matches.next().captured(1).toUInt(nullptr, 16)));
        return bytes;
    }

    QString m_log;
    qsizetype m_before = 0;
};

// The same terminal through ser2net, on a COM number mapped to it for as long
// as this lives. The server sets the trainer's line whatever the system.
class NetworkPort final : public SimulatorPort
{
public:
    NetworkPort()
        : m_url(qEnvironmentVariable("VELMORA_RULES_SERVER_URL"))
    {
        if (m_url.isEmpty() || !isValid()) {
            m_port = 0;
            return;
        }
        m_port = NetworkCom;
        m_line = QString::fromLatin1(protocol::LineSettings);
        platform::SettingsStore::write(settings_keys::Application, settings_keys::SectionPorts,
                                       settings_keys::PortKey(NetworkCom), m_url);
    }
    ~NetworkPort() override
    {
        platform::SettingsStore::remove(settings_keys::Application, settings_keys::SectionPorts,
                                        settings_keys::PortKey(NetworkCom));
        // ser2net lets the terminal go a little after the connection ends;
        // until then the next row would share the terminal with it (a byte
        // written then was seen lost once).
        waitUntilFreed();
    }

private:
    static constexpr int NetworkCom = 9;
    QString m_url;
};

// The port of the row's backend; skips the row when it is not at hand.
std::unique_ptr<PortUnderTest> portUnderTest()
{
    QFETCH(QString, backend);
    if (backend == FakeEngineBackend)
        return std::make_unique<FakeEnginePort>();
    std::unique_ptr<SimulatorPort> port;
    if (backend == NetworkBackend)
        port = std::make_unique<NetworkPort>();
    else
        port = std::make_unique<SimulatorPort>();
    if (!port->isValid())
        return nullptr;
    return port;
}

const char SystemPortMissing[] =
    "run through tests/support/serial_on_tarvex_sim.sh, which sets VELMORA_RULES_COM and VELMORA_RULES_SIM_LOG, "
    "and with --ser2net VELMORA_RULES_SERVER_URL";

// Adds the rows once per backend; each row's first column is "backend".
void addRowsForEveryBackend(const std::function<void(const QString &backend)> &addRows)
{
    for (const QString &backend : {FakeEngineBackend, SystemPortBackend, NetworkBackend})
        addRows(backend);
}

// Throws nothing: a failure to open is the test's failure, with the control's words.
bool openTrainerLine(CommControl &control, const PortUnderTest &port)
{
    const auto error = CommErrorFrom([&] {
        control.setCommPort(qint16(port.port()));
        control.setSettings(port.lineSettings());
        control.setPortOpen(true);
    });
    if (error)
        qWarning("COM%d did not open: error %d, %s", port.port(), error->number, qPrintable(error->description));
    return !error && control.portOpen();
}

// The count as the window reads it: after a sleep in which no event loop runs.
qint16 countAfterProbeWait(CommControl &control)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(protocol::ProbeWaitMs));
    // A slow pipe (Wine) may take longer; the answer must still be counted without an event loop.
    const QDeadlineTimer deadline(2000);
    qint16 count = control.inBufferCount();
    while (count < 1 && !deadline.hasExpired()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        count = control.inBufferCount();
    }
    return count;
}

// Throws nothing: a failed write is the test's failure, with the control's words.
bool sent(CommControl &control, const QByteArray &bytes)
{
    const auto error = CommErrorFrom([&] { control.setOutput(bytes); });
    if (error)
        qWarning("the write failed: error %d, %s", error->number, qPrintable(error->description));
    return !error;
}

const QByteArray ProbeByte(1, char(protocol::Probe));
const QByteArray ResetByte(1, char(protocol::ResetAll));

} // namespace

class tst_CommControlRules : public QObject
{
    Q_OBJECT

private slots:
    void refusals_data();
    void refusals();
    void closedPortNeitherReadsNorWrites_data();
    void closedPortNeitherReadsNorWrites();
    void probeAnswerIsCountedAndTaken_data();
    void probeAnswerIsCountedAndTaken();
    void reopenAfterCloseAndAfterDestruction_data();
    void reopenAfterCloseAndAfterDestruction();
};

void tst_CommControlRules::refusals_data()
{
    QTest::addColumn<QString>("backend");
    QTest::addColumn<bool>("openFirst");
    QTest::addColumn<QString>("calls");
    QTest::addColumn<int>("number");
    QTest::addColumn<QString>("description");
    const QString whileOpen = QStringLiteral("Operation not valid while the port is opened");
    const QString invalidValue = QStringLiteral("Invalid property value");
    const QString invalidPort = QStringLiteral("Invalid port number");
    addRowsForEveryBackend([&](const QString &backend) {
        const auto row = [&backend](const char *name) -> QTestData & {
            return QTest::newRow(qPrintable(backend + QStringLiteral(": ") + QLatin1String(name))) << backend;
        };
        // CommPort with no value names another port than the open one.
        row("CommPort while open") << true << "CommPort" << 8000 << whileOpen;
        row("Settings while open") << true << "Settings=9600,N,8,1" << 8000 << whileOpen;
        row("PortOpen while open") << true << "PortOpen" << 8005 << "Port already open";
        row("Settings with three fields") << false << "Settings=2400,E,8" << 380 << invalidValue;
        row("Settings empty") << false << "Settings=" << 380 << invalidValue;
        row("Settings with parity X") << false << "Settings=2400,X,8,2" << 380 << invalidValue;
        row("InputMode 2") << false << "InputMode=2" << 380 << invalidValue;
        row("InputMode -1") << false << "InputMode=-1" << 380 << invalidValue;
        row("InputLen -1") << false << "InputLen=-1" << 380 << invalidValue;
        row("InputMode 2 while open") << true << "InputMode=2" << 380 << invalidValue;
        row("Output while closed") << false << "Output" << 8018
                                    << "Operation valid only when the port is open";
        row("port 0, at open") << false << "CommPort=0;PortOpen" << 8002 << invalidPort;
        row("negative port, at open") << false << "CommPort=-3;PortOpen" << 8002 << invalidPort;
    });
}

void tst_CommControlRules::refusals()
{
    QFETCH(bool, openFirst);
    QFETCH(QString, calls);
    QFETCH(int, number);
    QFETCH(QString, description);
    const auto port = portUnderTest();
    if (!port)
        QSKIP(SystemPortMissing);
    const auto control = port->makeControl();
    if (openFirst) {
        QVERIFY(openTrainerLine(*control, *port));
    } else {
        control->setCommPort(qint16(port->port()));
        control->setSettings(port->lineSettings());
    }
    const int openingsBefore = port->openings();

    const auto error = CommErrorFrom([&] {
        for (const QString &step : calls.split(u';')) {
            const QString name = step.section(u'=', 0, 0);
            const QString value = step.section(u'=', 1);
            if (name == u"CommPort")
                control->setCommPort(qint16(value.isEmpty() ? port->port() + 1 : value.toInt()));
            else if (name == u"Settings")
                control->setSettings(value);
            else if (name == u"PortOpen")
                control->setPortOpen(true);
            else if (name == u"InputMode")
                control->setInputMode(value.toInt());
            else if (name == u"InputLen")
                control->setInputLen(qint16(value.toInt()));
            else if (name == u"Output")
                control->setOutput(ResetByte);
            else
                QFAIL("unknown call in the table");
        }
    });
    QVERIFY2(error, "nothing was refused");
    QCOMPARE(error->number, number);
    QCOMPARE(error->description, description);

    // A refusal changes nothing: the port stays as it was, nothing was written.
    QCOMPARE(control->portOpen(), openFirst);
    QCOMPARE(port->openings(), openingsBefore);
    QCOMPARE(port->received(1, 50), QByteArray());
    if (!openFirst)
        return;
    // The refused value was not kept: the next open is the same port.
    control->setPortOpen(false);
    QVERIFY(openTrainerLine(*control, *port));
    QVERIFY(sent(*control, ResetByte));
    QCOMPARE(port->received(1, 2000), ResetByte);
}

void tst_CommControlRules::closedPortNeitherReadsNorWrites_data()
{
    QTest::addColumn<QString>("backend");
    QTest::addColumn<bool>("openedBefore");
    addRowsForEveryBackend([](const QString &backend) {
        QTest::newRow(qPrintable(backend + QStringLiteral(": never opened"))) << backend << false;
        QTest::newRow(qPrintable(backend + QStringLiteral(": closed with an answer waiting"))) << backend << true;
    });
}

void tst_CommControlRules::closedPortNeitherReadsNorWrites()
{
    QFETCH(bool, openedBefore);
    const auto port = portUnderTest();
    if (!port)
        QSKIP(SystemPortMissing);
    const auto control = port->makeControl();
    if (openedBefore) {
        QVERIFY(openTrainerLine(*control, *port));
        QVERIFY(sent(*control, ProbeByte));
        QVERIFY(countAfterProbeWait(*control) >= 1);
    }
    control->setPortOpen(false);
    control->setPortOpen(false); // closing a closed port is harmless
    QVERIFY(!control->portOpen());
    const auto error = CommErrorFrom([&] { control->setOutput(ResetByte); });
    QVERIFY(error);
    QCOMPARE(error->number, comm_error::PortNotOpen);
    QCOMPARE(control->input(), QByteArray());
    QCOMPARE(control->inBufferCount(), qint16(0));
    QCOMPARE(port->received(2, 50), openedBefore ? ProbeByte : QByteArray());
}

void tst_CommControlRules::probeAnswerIsCountedAndTaken_data()
{
    QTest::addColumn<QString>("backend");
    QTest::addColumn<int>("inputLen");
    addRowsForEveryBackend([](const QString &backend) {
        QTest::newRow(qPrintable(backend + QStringLiteral(": InputLen 0 takes everything"))) << backend << 0;
        QTest::newRow(qPrintable(backend + QStringLiteral(": InputLen 1"))) << backend << 1;
    });
}

void tst_CommControlRules::probeAnswerIsCountedAndTaken()
{
    QFETCH(int, inputLen);
    const auto port = portUnderTest();
    if (!port)
        QSKIP(SystemPortMissing);
    const auto control = port->makeControl();
    control->setInputMode(0);
    control->setInputLen(qint16(inputLen));
    QVERIFY(openTrainerLine(*control, *port));
    control->input();
    QVERIFY(sent(*control, ProbeByte));
    QCOMPARE(countAfterProbeWait(*control), qint16(1));
    QCOMPARE(control->input().size(), 1);
    QCOMPARE(control->inBufferCount(), qint16(0));
    QVERIFY(sent(*control, ResetByte));
    QCOMPARE(port->received(2, 2000), ProbeByte + ResetByte);
    QVERIFY(control->portOpen());
}

void tst_CommControlRules::reopenAfterCloseAndAfterDestruction_data()
{
    QTest::addColumn<QString>("backend");
    addRowsForEveryBackend([](const QString &backend) { QTest::newRow(qPrintable(backend)) << backend; });
}

void tst_CommControlRules::reopenAfterCloseAndAfterDestruction()
{
    const auto port = portUnderTest();
    if (!port)
        QSKIP(SystemPortMissing);
    {
        const auto control = port->makeControl();
        QVERIFY(openTrainerLine(*control, *port));
        QVERIFY(sent(*control, "a"));
        // Arrived before the close: a serial server may drop what is still on its way when the client goes.
        QCOMPARE(port->received(1, 2000), QByteArray("a"));
        control->setPortOpen(false);
        QVERIFY(!control->portOpen());
        control->setSettings(QStringLiteral("9600,N,8,1")); // allowed again once closed
        control->setSettings(port->lineSettings());
        control->setPortOpen(true);
        QVERIFY(control->portOpen());
        QVERIFY(sent(*control, "b"));
        QCOMPARE(port->received(2, 2000), QByteArray("ab"));
    } // destroyed while open
    const auto next = port->makeControl();
    QVERIFY(openTrainerLine(*next, *port));
    QVERIFY(sent(*next, "c"));
    QCOMPARE(port->received(3, 2000), QByteArray("abc"));
}

QTEST_GUILESS_MAIN(tst_CommControlRules)
#include "tst_comm_control_rules.moc"
