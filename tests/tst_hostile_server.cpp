// The main window on the real serial layer against a bench server that is
// broken or hostile (set up wrong, a second program on the port, a laptop that
// took a bench's address): whatever it sends, the window keeps answering, the
// program stays small, and the instructor is told what happened.
#include "tests/support/panel_checks.h"
#include "tests/support/recording_message_boxes.h"
#include "tests/support/scripted_server.h"
#include "tests/support/store_sandbox.h"

#include "platform/serial/serial_comm_control.h"
#include "trainer_panel/frm_FaultsAndMods.h"

#include <QElapsedTimer>
#include <QFile>
#include <QPointer>
#include <QPushButton>
#include <QtTest>

#ifdef Q_OS_WIN
#include <windows.h>
#include <psapi.h>
#else
#include <unistd.h>
#endif

using namespace panel_checks;
using Habit = ScriptedServer::Habit;
using Stop = ScriptedServer::Stop;

Q_DECLARE_METATYPE(ScriptedServer::Habit)
Q_DECLARE_METATYPE(ScriptedServer::Stop)

namespace {

// What the program may grow by while a server floods it.
constexpr qint64 MostGrowthBytes = 8 * 1024 * 1024;
// How long a click may take to go out, and the window to answer meanwhile.
constexpr int AnswersWithinMs = 1000;
constexpr char FaultThreeIn = char(0x56);

// The process's own memory: what it has written to (Windows: its private
// bytes), not what it has only mapped.
qint64 memoryInUse()
{
#ifdef Q_OS_WIN
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    if (!::K32GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof counters)) {
        qWarning("K32GetProcessMemoryInfo failed: %lu", ::GetLastError());
        return -1;
    }
    // The committed bytes of the process's own, its private bytes.
    return qint64(counters.PagefileUsage);
#else
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> pages = statm.readAll().split(' ');
    return pages.size() < 2 ? -1 : pages[1].toLongLong() * ::sysconf(_SC_PAGESIZE);
#endif
}

// How often the client answered each request of the server's with a refusal.
QMap<QString, int> refusalsIn(const QStringList &commands)
{
    QMap<QString, int> counts;
    for (const QString &command : commands) {
        if (command.startsWith(QLatin1String("FF FC ")) || command.startsWith(QLatin1String("FF FE ")))
            ++counts[command];
    }
    return counts;
}

} // namespace

class tst_HostileServer : public QObject
{
    Q_OBJECT

private slots:
    void windowOutlastsTheServer_data();
    void windowOutlastsTheServer();
};

void tst_HostileServer::windowOutlastsTheServer_data()
{
    QTest::addColumn<Habit>("habit");
    QTest::addColumn<Stop>("stop");
    QTest::addColumn<bool>("zeroPadded");   // COM 1 mapped to 127.0.0.010, the server on 127.0.0.8
    QTest::addColumn<QString>("title");     // of the one message; empty: none; <address> is 127.0.0.1:PORT

    const QString lost = QStringLiteral("Connection lost");
    QTest::newRow("line errors without end after the probe")
        << Habit::CommandsAfterProbe << Stop::Never << false << QString();
    QTest::newRow("every option asked for without end, nothing read")
        << Habit::RequestsUnread << Stop::Never << false << QString();
    QTest::newRow("an option switched without end, nothing read")
        << Habit::SwitchesUnread << Stop::Never << false << lost;
    QTest::newRow("a subnegotiation without end") << Habit::EndlessSubnegotiation << Stop::Never << false << lost;
    QTest::newRow("the settings acknowledged, then closed")
        << Habit::None << Stop::AfterSettings << false
        << QStringLiteral("Invalid port number: <address> closed the connection");
    QTest::newRow("a zero-padded address is not another host's")
        << Habit::None << Stop::Never << true
        << QStringLiteral("Invalid port number: COM1 is mapped to \"rfc2217://127.0.0.010:<port>\", whose IPv4 "
                          "address is not four numbers 0 to 255 without leading zeros");
}

void tst_HostileServer::windowOutlastsTheServer()
{
    QFETCH(Habit, habit);
    QFETCH(Stop, stop);
    QFETCH(bool, zeroPadded);
    QFETCH(QString, title);
    StoreSandbox sandbox;
    ScriptedServer::Script script;
    script.habit = habit;
    script.stop = stop;
    if (zeroPadded)
        script.listenOn = QHostAddress(QStringLiteral("127.0.0.8"));
    ScriptedServer server(script);
    QVERIFY(server.port() != 0);
    const QString port = QString::number(server.port());
    const QString url = QStringLiteral("rfc2217://%1:%2").arg(zeroPadded ? "127.0.0.010" : "127.0.0.1", port);
    title.replace(QStringLiteral("<address>"), QStringLiteral("127.0.0.1:") + port)
        .replace(QStringLiteral("<port>"), port);

    RecordingMessageBoxes messages;
    QPointer<frm_FaultsAndMods> window = new frm_FaultsAndMods(
        platform::CreateSerialCommControl([url](int number) { return platform::PortTargetFromMapping(number, url); }),
        messages);
    qint64 delivered = 0;
    connect(window->MSCommObject, &platform::CommControl::OnComm, this, [&delivered] { ++delivered; });
    const qint64 memoryBefore = memoryInUse();
    QVERIFY(memoryBefore > 0);

    window->btn_Connect->click();
    if (stop != Stop::Never || zeroPadded) {
        // Told at once that the port is unusable, and nothing went to the bench.
        QCOMPARE(messages.titles(), QStringList{title});
        QCOMPARE(messages.shown.first().text, QStringLiteral("The selected COM port is invalid."));
        VerifyDisconnected(window);
        QCOMPARE(ScriptedServer::Split(server.received()).data, QByteArray());
        if (zeroPadded)
            QVERIFY(!server.clientConnected());
        delete window.data();
        return;
    }

    // The probe's answer was counted with the flood behind it, and 0x80 sent.
    QVERIFY2(messages.shown.isEmpty(), qPrintable(messages.titles().join(u',')));
    VerifyConnected(window, 1);
    QTRY_COMPARE(ScriptedServer::Split(server.received()).data.left(2), QByteArray("\xC0\x80"));
    if (!title.isEmpty()) {
        QTRY_COMPARE_WITH_TIMEOUT(messages.titles(), QStringList{title}, 10000);
        QCOMPARE(messages.shown.first().text, LostText);
        VerifyDisconnected(window);
    } else {
        QTRY_VERIFY(window->connectionArmed());
        // Well into the flood, a click goes out and the window goes on answering.
        QTest::qWait(ScriptedServer::FloodMs / 3);
        QElapsedTimer clock;
        clock.start();
        window->btn_Fault[2]->click();
        QTest::qWait(100);
        QVERIFY2(clock.elapsed() < AnswersWithinMs, qPrintable(QString::number(clock.elapsed())));
        QVERIFY2(messages.shown.isEmpty(), qPrintable(messages.titles().join(u',')));
        VerifyConnected(window, 1);
        QTRY_VERIFY_WITH_TIMEOUT(ScriptedServer::Split(server.received()).data.contains(FaultThreeIn),
                                 ScriptedServer::FloodMs + 3000);
    }
    const qint64 grown = memoryInUse() - memoryBefore;
    QVERIFY2(grown < MostGrowthBytes, qPrintable(QStringLiteral("grew by %1 KiB").arg(grown / 1024)));
    qInfo("grew by %lld KiB; %lld line events delivered for %lld repeats of the flood", grown / 1024, delivered,
          server.floodRepeats());

    const ScriptedServer::ClientStream stream = ScriptedServer::Split(server.received());
    if (habit == Habit::CommandsAfterProbe) {
        // One event waits at a time, however many the server sends.
        QVERIFY(server.floodRepeats() > 1000);
        QVERIFY2(delivered * 100 < server.floodRepeats(), qPrintable(QString::number(delivered)));
    }
    if (habit == Habit::RequestsUnread) {
        const QMap<QString, int> refusals = refusalsIn(stream.commands);
        QCOMPARE(refusals.size(), 253 + 254);   // all but what the client itself uses
        QCOMPARE(QSet<int>(refusals.begin(), refusals.end()), QSet<int>{1});
    }
    QTest::qWait(100);
    QCOMPARE(messages.shown.size(), title.isEmpty() ? 0 : 1);
    delete window.data();
}

QTEST_MAIN(tst_HostileServer)
#include "tst_hostile_server.moc"
