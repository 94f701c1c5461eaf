#include "app_settings/settings_keys.h"
#include "platform/settings/settings_store.h"
#include "simulator/line_state_file.h"
#include "tests/support/pseudo_terminal.h"
#include "tests/support/store_sandbox.h"
#include "tests/support/tarvex_sim_process.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

#include <chrono>
#include <memory>
#include <optional>

#include <csignal>

using platform::SettingsStore;

namespace {

const QString Missing = QStringLiteral("-1");

QString portValue(int com)
{
    return SettingsStore::read(settings_keys::Application, settings_keys::SectionPorts,
                               settings_keys::PortKey(com), Missing);
}

QByteArray fileText(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<no file>");
}


} // namespace

class tst_TarvexSim : public QObject
{
    Q_OBJECT

private slots:
    void probeIsAnsweredAsTheOptionsSay_data();
    void probeIsAnsweredAsTheOptionsSay();
    void commandBytesChangeThePrintedBoard();
    void portCanBeClosedAndOpenedAgain();
    void timestampsComeFromTheMonotonicClock();
#ifdef Q_OS_LINUX
    void opensMergedIntoOneEventStillCount();
#endif
    void stopRestoresTheStoreAndHangsUp_data();
    void stopRestoresTheStoreAndHangsUp();
    void badOptionsStopBeforeTouchingTheStore_data();
    void badOptionsStopBeforeTouchingTheStore();
    void helpNamesEveryOption();

    void controlsChangeThePublishedLines_data();
    void controlsChangeThePublishedLines();
    void switchedOffBaseAnswersNothing();
    void cablePulledHangsUpAndPlugsInAgain();
    void controlsAreListedAndUnknownOnesTold();
};

void tst_TarvexSim::probeIsAnsweredAsTheOptionsSay_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("com");
    QTest::addColumn<int>("earliestMs"); // -1: never
    QTest::addColumn<int>("latestMs");
    QTest::addColumn<QString>("printed"); // empty: no line for the byte

    // A base has to answer within the 100 ms that the probe waits.
    QTest::newRow("default port, answered at once")
        << QStringList() << 1 << 0 << 100 << "rx 0xC0 probe, answered 0xA5 | faults=none mods=none";
    QTest::newRow("silent") << QStringList{"--com", "4", "--silent"} << 4 << -1 << 300
                            << "rx 0xC0 probe, not answered (--silent) | faults=none mods=none";
    QTest::newRow("late") << QStringList{"--com", "12", "--answer-delay", "300"} << 12 << 300 << 1500
                          << "rx 0xC0 probe, answer 0xA5 due in 300 ms | faults=none mods=none";
    QTest::newRow("quiet still answers") << QStringList{"--com", "2", "--quiet"} << 2 << 0 << 100 << "";
}

void tst_TarvexSim::probeIsAnsweredAsTheOptionsSay()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, com);
    QFETCH(int, earliestMs);
    QFETCH(int, latestMs);
    QFETCH(QString, printed);
    StoreSandbox sandbox;
    TarvexSimProcess sim(QStringLiteral(TARVEX_SIM));
    QVERIFY(sim.start(arguments));
    const QString device = portValue(com);
    QVERIFY2(device.startsWith(QString::fromStdString(line_state_file::SimulatorFolder()) + QLatin1Char('/')),
             qPrintable(device));
    // The start lines say what was mapped and where it leads.
    QCOMPARE(sim.mappedPath(), device);
    QCOMPARE(sim.terminalPath(), QFileInfo(device).canonicalFilePath());

    TerminalEnd port(device);
    QVERIFY(port.isOpen());
    QElapsedTimer clock;
    clock.start();
    QVERIFY(port.send(0xC0));
    if (earliestMs < 0) {
        QVERIFY(!port.receive(latestMs));
    } else {
        const std::optional<quint8> answer = port.receive(latestMs);
        const qint64 elapsed = clock.elapsed();
        QVERIFY2(answer.has_value(), "no answer to the probe");
        QVERIFY2(elapsed >= earliestMs, qPrintable(QStringLiteral("answered after %1 ms").arg(elapsed)));
        // One byte answers one probe.
        QVERIFY(!port.receive(200));
    }

    if (printed.isEmpty()) {
        QVERIFY(port.send(0x56));
        QTest::qWait(200);
        for (const QString &line : sim.lines())
            QVERIFY2(line.startsWith(QStringLiteral("tarvex-sim: ")), qPrintable(line));
    } else {
        QCOMPARE(sim.waitForLine(QRegularExpression(QStringLiteral("^rx "))), printed);
        if (earliestMs > 0)
            QVERIFY(sim.waitForLine(QRegularExpression(QStringLiteral("^tx 0xA5 answer to the probe, 300 ms late")))
                        .endsWith(QStringLiteral("| faults=none mods=none")));
    }
}

void tst_TarvexSim::commandBytesChangeThePrintedBoard()
{
    StoreSandbox sandbox;
    TarvexSimProcess sim(QStringLiteral(TARVEX_SIM));
    QVERIFY(sim.start({QStringLiteral("--com"), QStringLiteral("3")}));
    TerminalEnd port(portValue(3));
    QVERIFY(port.isOpen());

    struct Step
    {
        quint8 byte;
        const char *state;
    };
    const Step steps[] = {
        {0x80, "faults=none mods=none"},  {0x56, "faults=3 mods=none"},
        {0x4B, "faults=3 mods=12"},       {0x5F, "faults=3,12 mods=12"},
        {0x53, "faults=3,12 mods=12,20"}, {0x3F, "faults=3,12 mods=12,20"},
        {0xFF, "faults=3,12 mods=12,20"}, {0x76, "faults=12 mods=12,20"},
        {0xC0, "faults=12 mods=12,20"},   {0x80, "faults=none mods=none"},
    };
    for (const Step &step : steps) {
        QVERIFY(port.send(step.byte));
        const QString tag =
            QStringLiteral("rx 0x") + QString::number(step.byte, 16).toUpper().rightJustified(2, QLatin1Char('0'));
        const QString line = sim.waitForLine(QRegularExpression(QLatin1Char('^') + tag + QLatin1Char(' ')));
        QVERIFY2(!line.isNull(), qPrintable(tag));
        QCOMPARE(TarvexSimProcess::boardState(line), QString::fromLatin1(step.state));
    }
    QCOMPARE(sim.lines().filter(QStringLiteral("unknown byte")).size(), 2);
}

void tst_TarvexSim::portCanBeClosedAndOpenedAgain()
{
    // The way a program disconnects and connects again.
    StoreSandbox sandbox;
    TarvexSimProcess sim(QStringLiteral(TARVEX_SIM));
    QVERIFY(sim.start({}));
    const QString device = portValue(1);
    {
        TerminalEnd first(device);
        QVERIFY(first.send(0x57));
        QVERIFY(!first.receive(50));
#ifdef Q_OS_LINUX
        // An answer that nobody reads before the port closes is lost, as on a real line.
        QVERIFY(first.send(0xC0));
        QVERIFY(!sim.waitForLine(QRegularExpression(QStringLiteral("^rx 0xC0 "))).isNull());
#endif
    }
#ifdef Q_OS_LINUX
    QVERIFY(!sim.waitForLine(QRegularExpression(QStringLiteral("^port closed, 0 open$"))).isNull());
#endif
    TerminalEnd second(device);
    QVERIFY(second.isOpen());
    QVERIFY(!second.receive(100));
    QVERIFY(second.send(0xC0));
    QVERIFY(second.receive(1000).has_value());
    QVERIFY(second.send(0x77));
    QCOMPARE(TarvexSimProcess::boardState(sim.waitForLine(QRegularExpression(QStringLiteral("^rx 0x77 ")))),
             QStringLiteral("faults=none mods=none"));
    QCOMPARE(sim.process().state(), QProcess::Running);
}

void tst_TarvexSim::timestampsComeFromTheMonotonicClock()
{
    // A reader compares them with its own clock to time what reached the base.
    StoreSandbox sandbox;
    TarvexSimProcess sim(QStringLiteral(TARVEX_SIM));
    QVERIFY(sim.start({QStringLiteral("--timestamps")}));
    TerminalEnd port(portValue(1));
    QVERIFY(port.isOpen());
    const QRegularExpression stamped(
        QStringLiteral("^(\\d+)\\.(\\d{6}) rx 0x(\\w\\w) .* \\| faults=\\S+ mods=\\S+$"));
    const auto nowMicros = [] {
        return std::chrono::duration_cast<std::chrono::microseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    };
    qint64 previous = 0;
    for (const quint8 byte : {quint8(0x56), quint8(0x80)}) {
        const qint64 before = nowMicros();
        QVERIFY(port.send(byte));
        const QString line = sim.waitForLine(QRegularExpression(QStringLiteral("^\\d+\\.\\d+ rx ")));
        const qint64 after = nowMicros();
        const QRegularExpressionMatch match = stamped.match(line);
        QVERIFY2(match.hasMatch(), qPrintable(line));
        QCOMPARE(match.captured(3).toInt(nullptr, 16), int(byte));
        const qint64 at = match.captured(1).toLongLong() * 1000000 + match.captured(2).toLongLong();
        QVERIFY2(at >= before && at <= after,
                 qPrintable(QStringLiteral("%1 not within %2..%3").arg(at).arg(before).arg(after)));
        QVERIFY(at >= previous);
        previous = at;
    }
}

#ifdef Q_OS_LINUX
void tst_TarvexSim::opensMergedIntoOneEventStillCount()
{
    // A serial layer may open the device twice in quick succession and close the
    // first descriptor at once; the system then reports the two opens as one.
    StoreSandbox sandbox;
    TarvexSimProcess sim(QStringLiteral(TARVEX_SIM));
    QVERIFY(sim.start({}));
    const QString device = portValue(1);
    sim.signal(SIGSTOP); // so that both opens are queued before it looks
    TerminalEnd kept(device);
    auto first = std::make_unique<TerminalEnd>(device);
    QVERIFY(kept.isOpen() && first->isOpen());
    QVERIFY(first->send(0xC0));
    first.reset();
    sim.signal(SIGCONT);

    // The port is still open, so the answer waits for the descriptor that is left.
    QVERIFY(kept.receive(1000).has_value());
    QVERIFY(!sim.waitForLine(QRegularExpression(QStringLiteral("^port closed, 1 open$"))).isNull());
    kept.close();
    QVERIFY(!sim.waitForLine(QRegularExpression(QStringLiteral("^port closed, 0 open$"))).isNull());
}
#endif

void tst_TarvexSim::stopRestoresTheStoreAndHangsUp_data()
{
    QTest::addColumn<QString>("stop");        // "SIGTERM", "SIGINT" or "end of input"
    QTest::addColumn<QString>("before");      // the key's value before; "-1": absent
    QTest::addColumn<QString>("meanwhile");   // written while it runs; empty: nothing
    QTest::addColumn<QString>("after");

    QTest::newRow("SIGTERM, key was absent") << "SIGTERM" << "-1" << "" << "-1";
    QTest::newRow("SIGTERM, key held a device") << "SIGTERM" << "/dev/ttyUSB7" << "" << "/dev/ttyUSB7";
    QTest::newRow("SIGINT, key was absent") << "SIGINT" << "-1" << "" << "-1";
    QTest::newRow("end of input, key held a device") << "end of input" << "/dev/ttyACM0" << "" << "/dev/ttyACM0";
    QTest::newRow("key changed meanwhile is left alone") << "SIGTERM" << "-1" << "/dev/ttyUSB2" << "/dev/ttyUSB2";
    // What a simulator killed with SIGKILL left is not put back.
    QTest::newRow("key held a dead simulator's link")
        << "SIGTERM" << QString::fromStdString(line_state_file::SimulatorFolder() + "/COM5-1") << "" << "-1";
    QTest::newRow("key held a pseudo-terminal") << "SIGTERM" << "/dev/pts/77" << "" << "-1";
}

void tst_TarvexSim::stopRestoresTheStoreAndHangsUp()
{
    QFETCH(QString, stop);
    QFETCH(QString, before);
    QFETCH(QString, meanwhile);
    QFETCH(QString, after);
    StoreSandbox sandbox;
    const QString &app = settings_keys::Application;
    QVERIFY(SettingsStore::write(app, settings_keys::SectionGeneral, settings_keys::CommPort, QStringLiteral("5")));
    if (before != Missing)
        QVERIFY(SettingsStore::write(app, settings_keys::SectionPorts, settings_keys::PortKey(5), before));
    const QByteArray fileBefore = fileText(sandbox.iniFile(app));

    TarvexSimProcess sim(QStringLiteral(TARVEX_SIM));
    QVERIFY(sim.start({QStringLiteral("--com"), QStringLiteral("5")}));
    const QString device = portValue(5);
    QVERIFY(device != before);
    TerminalEnd port(device);
    QVERIFY(port.isOpen());
    QVERIFY(port.send(0x54));
    QVERIFY(!sim.waitForLine(QRegularExpression(QStringLiteral("^rx 0x54 "))).isNull());
    if (!meanwhile.isEmpty())
        QVERIFY(SettingsStore::write(app, settings_keys::SectionPorts, settings_keys::PortKey(5), meanwhile));

    if (stop == QLatin1String("end of input"))
        sim.process().closeWriteChannel();
    else
        sim.signal(stop == QLatin1String("SIGINT") ? SIGINT : SIGTERM);
    QVERIFY(sim.process().waitForFinished(5000));
    QCOMPARE(sim.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(sim.process().exitCode(), 0);
    QVERIFY(sim.lines().last().contains(QStringLiteral("terminal closed")));

    QCOMPARE(portValue(5), after);
    if (meanwhile.isEmpty() && after == before)
        QCOMPARE(fileText(sandbox.iniFile(app)), fileBefore);
    QVERIFY2(port.hungUp(1000), "the port is still there");
    QVERIFY2(!QFileInfo::exists(device), "the link still leads somewhere");
}

void tst_TarvexSim::badOptionsStopBeforeTouchingTheStore_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("port 0") << QStringList{"--com", "0"};
    QTest::newRow("port not a number") << QStringList{"--com", "x1"};
    QTest::newRow("port missing") << QStringList{"--com"};
    QTest::newRow("negative delay") << QStringList{"--answer-delay", "-5"};
    QTest::newRow("silent and late") << QStringList{"--silent", "--answer-delay", "50"};
    QTest::newRow("unknown option") << QStringList{"--loud"};
    QTest::newRow("unknown control") << QStringList{"--at", "10", "loud"};
}

void tst_TarvexSim::badOptionsStopBeforeTouchingTheStore()
{
    QFETCH(QStringList, arguments);
    StoreSandbox sandbox;
    QProcess process;
    process.start(QStringLiteral(TARVEX_SIM), arguments);
    QVERIFY(process.waitForFinished(5000));
    QCOMPARE(process.exitCode(), 2);
    QVERIFY(!process.readAllStandardError().isEmpty());
    QVERIFY(!QFile::exists(sandbox.iniFile(settings_keys::Application)));
}

void tst_TarvexSim::helpNamesEveryOption()
{
    StoreSandbox sandbox;
    QProcess process;
    process.start(QStringLiteral(TARVEX_SIM), {QStringLiteral("--help")});
    QVERIFY(process.waitForFinished(5000));
    QCOMPARE(process.exitCode(), 0);
    const QString help = QString::fromUtf8(process.readAllStandardOutput());
    for (const char *option : {"--com N", "--silent", "--answer-delay MS", "--off", "--at MS CONTROL", "--quiet",
                               "--no-stdin", "--timestamps", "--help"})
        QVERIFY2(help.contains(QLatin1String(option)), option);
    QVERIFY(!QFile::exists(sandbox.iniFile(settings_keys::Application)));
}

namespace {

QString publishedLines(const QString &device)
{
    // The link leads to /proc/PID/fd/N, which leads to /dev/pts/M.
    const QString terminal = QFileInfo(device).canonicalFilePath();
    const std::string path = line_state_file::PathFor(
        line_state_file::Folder(), terminal.mid(terminal.lastIndexOf(QLatin1Char('/')) + 1).toInt());
    line_state_file::LineState state;
    if (!terminal.startsWith(QLatin1String("/dev/pts/")) || !line_state_file::Parse(fileText(QString::fromStdString(path)).constData(), &state))
        return QStringLiteral("nothing published for ") + device;
    const std::string text = line_state_file::Format(state);
    return QString::fromStdString(text.substr(text.find("bits="))).trimmed();
}

constexpr int AllLines = line_state_file::Cts | line_state_file::Dsr | line_state_file::Cd;

QString expectedLines(int bits, const char *counters)
{
    return QStringLiteral("bits=%1 %2 overrun=0").arg(bits).arg(QLatin1String(counters));
}

} // namespace

void tst_TarvexSim::controlsChangeThePublishedLines_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("controls");
    QTest::addColumn<QString>("lines");
    QTest::addColumn<QString>("told"); // the last control's line, after "name: "

    const char *none = "cts=0 dsr=0 cd=0 ri=0 brk=0 frame=0 parity=0";
    QTest::newRow("on from the start") << QStringList() << QStringList() << expectedLines(AllLines, none) << "";
    QTest::newRow("started off") << QStringList{"--off"} << QStringList() << expectedLines(0, none) << "";
    QTest::newRow("CTS toggled twice") << QStringList() << QStringList{"cts", "cts"}
                                       << expectedLines(AllLines, "cts=2 dsr=0 cd=0 ri=0 brk=0 frame=0 parity=0")
                                       << "CTS on | power on, cable in, CTS on, DSR on, CD on";
    QTest::newRow("DSR dropped") << QStringList() << QStringList{"dsr"}
                                 << expectedLines(line_state_file::Cts | line_state_file::Cd,
                                                  "cts=0 dsr=1 cd=0 ri=0 brk=0 frame=0 parity=0")
                                 << "DSR off | power on, cable in, CTS on, DSR off, CD on";
    QTest::newRow("CD dropped, blanks around") << QStringList() << QStringList{"  cd \t"}
                                               << expectedLines(line_state_file::Cts | line_state_file::Dsr,
                                                                "cts=0 dsr=0 cd=1 ri=0 brk=0 frame=0 parity=0")
                                               << "CD off | power on, cable in, CTS on, DSR on, CD off";
    QTest::newRow("power off drops all three")
        << QStringList() << QStringList{"power off"}
        << expectedLines(0, "cts=1 dsr=1 cd=1 ri=0 brk=0 frame=0 parity=0")
        << "the base is off | power off, cable in, CTS off, DSR off, CD off";
    QTest::newRow("power off and on, CTS already down")
        << QStringList() << QStringList{"cts", "power  off", "power on"}
        << expectedLines(AllLines, "cts=2 dsr=2 cd=2 ri=0 brk=0 frame=0 parity=0")
        << "the base is on | power on, cable in, CTS on, DSR on, CD on";
    QTest::newRow("break") << QStringList() << QStringList{"break"}
                           << expectedLines(AllLines, "cts=0 dsr=0 cd=0 ri=0 brk=1 frame=0 parity=0")
                           << "a break | power on, cable in, CTS on, DSR on, CD on";
    QTest::newRow("noise") << QStringList() << QStringList{"noise"}
                           << expectedLines(AllLines, "cts=0 dsr=0 cd=0 ri=0 brk=0 frame=1 parity=1")
                           << "a framing and a parity error, garbled bytes 0x00 0xFF sent | power on, cable in, "
                              "CTS on, DSR on, CD on";
    QTest::newRow("as options") << QStringList{"--at", "0", "dsr", "--at", "50", "break"} << QStringList()
                                << expectedLines(line_state_file::Cts | line_state_file::Cd,
                                                 "cts=0 dsr=1 cd=0 ri=0 brk=1 frame=0 parity=0")
                                << "";
}

void tst_TarvexSim::controlsChangeThePublishedLines()
{
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, controls);
    QFETCH(QString, lines);
    QFETCH(QString, told);
    StoreSandbox sandbox;
    TarvexSimProcess sim(QStringLiteral(TARVEX_SIM));
    QVERIFY(sim.start(arguments));
    for (qsizetype i = 0; i < controls.size(); ++i) {
        const QString words = controls[i].simplified();
        sim.process().write((controls[i] + QLatin1Char('\n')).toUtf8());
        const QString line = sim.waitForLine(QRegularExpression(QLatin1Char('^') + words + QLatin1Char(':')));
        QVERIFY2(!line.isNull(), qPrintable(words));
        // Nothing on the other end reads the lines yet, and it is told.
        QVERIFY2(line.endsWith(QLatin1String("(the other end does not read the lines: that needs a real serial "
                                             "port or the modem-line fixture)")),
                 qPrintable(line));
        if (i == controls.size() - 1)
            QVERIFY2(line.startsWith(words + QStringLiteral(": ") + told), qPrintable(line));
    }
    if (arguments.contains(QStringLiteral("--at")))
        QVERIFY(!sim.waitForLine(QRegularExpression(QStringLiteral("^break: "))).isNull());
    QCOMPARE(publishedLines(portValue(1)), lines);
}

void tst_TarvexSim::switchedOffBaseAnswersNothing()
{
    StoreSandbox sandbox;
    TarvexSimProcess sim(QStringLiteral(TARVEX_SIM));
    QVERIFY(sim.start({QStringLiteral("--off")}));
    TerminalEnd port(portValue(1));
    QVERIFY(port.isOpen());
    QVERIFY(port.send(0xC0));
    QVERIFY(port.send(0x56));
    QVERIFY(!port.receive(200));
    QCOMPARE(sim.waitForLine(QRegularExpression(QStringLiteral("^rx 0x56 "))),
             QStringLiteral("rx 0x56 ignored, the base is off | faults=none mods=none"));

    QVERIFY(!sim.control(QStringLiteral("power on")).isNull());
    QVERIFY(port.send(0xC0));
    QCOMPARE(port.receive(1000), std::optional<quint8>(0xA5));
}

void tst_TarvexSim::cablePulledHangsUpAndPlugsInAgain()
{
    StoreSandbox sandbox;
    TarvexSimProcess sim(QStringLiteral(TARVEX_SIM));
    QVERIFY(sim.start({}));
    const QString link = portValue(1);
    TerminalEnd port(link);
    QVERIFY(port.isOpen());
    QVERIFY(port.send(0x56));
    QVERIFY(!sim.waitForLine(QRegularExpression(QStringLiteral("^rx 0x56 "))).isNull());

    const QString pulled = sim.control(QStringLiteral("cable"));
    QVERIFY2(pulled.startsWith(QLatin1String("cable: pulled: the lines drop")), qPrintable(pulled));
    QVERIFY2(pulled.contains(QLatin1String("CTS off, DSR off, CD off")), qPrintable(pulled));
    QVERIFY2(port.hungUp(1000), "the terminal did not hang up");
    QVERIFY(!sim.waitForLine(QRegularExpression(QStringLiteral("^cable: terminal hung up"))).isNull());
    // Like an adapter's by-id name, the mapping leads nowhere while it is out.
    QVERIFY(!QFileInfo::exists(link));
    QCOMPARE(portValue(1), link);

    const QString plugged = sim.control(QStringLiteral("cable"));
    QVERIFY2(plugged.contains(QLatin1String("plugged in again")), qPrintable(plugged));
    QVERIFY2(plugged.contains(QLatin1String("CTS on, DSR on, CD on")), qPrintable(plugged));
    TerminalEnd again(link);
    QVERIFY(again.isOpen());
    QVERIFY(again.send(0xC0));
    QCOMPARE(again.receive(1000), std::optional<quint8>(0xA5));
    // A new terminal starts with no changes counted; the board kept its state.
    QCOMPARE(publishedLines(link), expectedLines(AllLines, "cts=0 dsr=0 cd=0 ri=0 brk=0 frame=0 parity=0"));
    QCOMPARE(TarvexSimProcess::boardState(sim.waitForLine(QRegularExpression(QStringLiteral("^rx 0xC0 ")))),
             QStringLiteral("faults=3 mods=none"));
}

void tst_TarvexSim::controlsAreListedAndUnknownOnesTold()
{
    StoreSandbox sandbox;
    TarvexSimProcess sim(QStringLiteral(TARVEX_SIM));
    QVERIFY(sim.start({QStringLiteral("--quiet")}));
    sim.process().write("help\nloud\n");
    QVERIFY(!sim.waitForLine(QRegularExpression(QStringLiteral("^controls:$"))).isNull());
    for (const char *control : {"power off", "power on", "cable", "break", "noise", "cts", "dsr", "cd", "help"})
        QVERIFY2(!sim.waitForLine(QRegularExpression(QStringLiteral("^  %1 ").arg(QLatin1String(control)))).isNull(),
                 control);
    // --quiet keeps back what was not asked for.
    QVERIFY(sim.waitForLine(QRegularExpression(QStringLiteral("unknown control")), 300).isNull());

    QProcess help;
    help.start(QStringLiteral(TARVEX_SIM), {QStringLiteral("--help")});
    QVERIFY(help.waitForFinished(5000));
    const QString text = QString::fromUtf8(help.readAllStandardOutput());
    for (const char *control : {"power off", "power on", "cable", "break", "noise", "cts", "dsr", "cd"})
        QVERIFY2(text.contains(QStringLiteral("\n  %1 ").arg(QLatin1String(control))), control);

    TarvexSimProcess loud(QStringLiteral(TARVEX_SIM));
    QVERIFY(loud.start({QStringLiteral("--com"), QStringLiteral("2")}));
    loud.process().write("loud\n");
    QCOMPARE(loud.waitForLine(QRegularExpression(QStringLiteral("^unknown control"))),
             QStringLiteral("unknown control \"loud\"; \"help\" lists them"));
}

QTEST_GUILESS_MAIN(tst_TarvexSim)
#include "tst_tarvex_sim.moc"
