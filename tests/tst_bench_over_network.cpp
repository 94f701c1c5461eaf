// The main window on the real serial layer, reaching a simulated base through
// a real serial server on the network: Debian's ser2net, and the RFC 2217
// server that python3-serial ships as an example, neither written here.
#include "tests/support/network_bench.h"
#include "tests/support/panel_checks.h"

#include "app_settings/port_mapping.h"
#include "app_settings/settings_keys.h"
#include "platform/serial/serial_comm_control.h"
#include "platform/settings/settings_store.h"
#include "trainer_panel/frm_FaultsAndMods.h"

#include <QAction>
#include <QPointer>
#include <QPushButton>
#include <QTcpServer>
#include <QtTest>

using platform::MessageIcon;
using namespace panel_checks;
using Server = SerialServerProcess::Kind;

Q_DECLARE_METATYPE(SerialServerProcess::Kind)

using namespace network_bench;

class tst_BenchOverNetwork : public QObject
{
    Q_OBJECT

private slots:
    void itemsAndResetReachTheBoard_data();
    void itemsAndResetReachTheBoard();
    void lostAtTheBench_data();
    void lostAtTheBench();
    void silentBaseIsNotFound();
    void unreachableBenchIsAnInvalidPort_data();
    void unreachableBenchIsAnInvalidPort();
    void exitStoresThePortAndKeepsTheMapping();
};

void tst_BenchOverNetwork::itemsAndResetReachTheBoard_data()
{
    QTest::addColumn<Server>("server");
    QTest::newRow("ser2net") << Server::Ser2net;
    QTest::newRow("ser2net inside TLS") << Server::Ser2netTls;
    QTest::newRow("python3-serial's example server") << Server::PySerialExample;
}

void tst_BenchOverNetwork::itemsAndResetReachTheBoard()
{
    QFETCH(Server, server);
    NetworkBench bench;
    if (const QString missing = bench.missing(server); !missing.isEmpty())
        QSKIP(qPrintable(missing));
    QVERIFY(bench.start(server));
    QVERIFY(bench.connectToBase());
    VerifyConnected(bench.window, BenchCom);

    ItemButton(bench.window, QStringLiteral("fault 3"))->click();
    QVERIFY(RxOf(0x56).match(bench.base->waitForLine(AnyRx)).hasMatch());
    ItemButton(bench.window, QStringLiteral("mod 5"))->click();
    const QString mod = bench.base->waitForLine(AnyRx);
    QVERIFY2(RxOf(0x44).match(mod).hasMatch(), qPrintable(mod));
    QCOMPARE(TarvexSimProcess::boardState(mod), QStringLiteral("faults=3 mods=5"));
    bench.window->btn_Reset->click();
    const QString reset = bench.base->waitForLine(AnyRx);
    QVERIFY2(RxOf(0x80).match(reset).hasMatch(), qPrintable(reset));
    QCOMPARE(TarvexSimProcess::boardState(reset), QStringLiteral("faults=none mods=none"));
    // Nothing else reached the base, and nothing went wrong.
    QVERIFY(bench.base->waitForLine(AnyRx, 300).isNull());
    QVERIFY(bench.messages.shown.isEmpty());
    VerifyConnected(bench.window, BenchCom);
}

void tst_BenchOverNetwork::lostAtTheBench_data()
{
    QTest::addColumn<Server>("server");
    QTest::addColumn<QString>("what"); // a control typed at the simulator, or "server stopped"

    QTest::newRow("ser2net: base switched off") << Server::Ser2net << "power off";
    QTest::newRow("ser2net: cable pulled at the base") << Server::Ser2net << "cable";
    QTest::newRow("ser2net: CD dropped") << Server::Ser2net << "cd";
    QTest::newRow("ser2net stopped") << Server::Ser2net << "server stopped";
    QTest::newRow("ser2net inside TLS: base switched off") << Server::Ser2netTls << "power off";
    QTest::newRow("ser2net inside TLS stopped") << Server::Ser2netTls << "server stopped";
    QTest::newRow("python3-serial's example server: base switched off") << Server::PySerialExample << "power off";
}

void tst_BenchOverNetwork::lostAtTheBench()
{
    QFETCH(Server, server);
    QFETCH(QString, what);
    NetworkBench bench;
    if (const QString missing = bench.missing(server); !missing.isEmpty())
        QSKIP(qPrintable(missing));
    QVERIFY(bench.start(server));
    bool closedBeforeTheBox = false;
    bench.messages.onShow = [&bench, &closedBeforeTheBox](const RecordingMessageBoxes::Message &) {
        closedBeforeTheBox = !bench.window->MSCommObject->portOpen() && bench.window->btn_Connect->isEnabled();
    };
    QVERIFY(bench.connectToBase());
    QTRY_VERIFY(bench.window->connectionArmed());
    // The first poll of the lines after the connect has been reported as the baseline.
    QTest::qWait(1200);
    QVERIFY(bench.messages.shown.isEmpty());

    if (what == u"server stopped")
        QVERIFY(bench.server->stop());
    else
        QVERIFY(!bench.base->control(what).isNull());
    QTRY_COMPARE_WITH_TIMEOUT(bench.messages.titles(), QStringList{"Connection lost"}, LinePollBoundMs);
    QCOMPARE(bench.messages.shown[0].text, LostText);
    QCOMPARE(bench.messages.shown[0].icon, MessageIcon::Exclamation);
    QVERIFY(closedBeforeTheBox);
    VerifyDisconnected(bench.window);
    // One message for one loss, whatever else the server reports or does.
    QTest::qWait(1500);
    QCOMPARE(bench.messages.shown.size(), 1);
}

void tst_BenchOverNetwork::silentBaseIsNotFound()
{
    NetworkBench bench;
    if (const QString missing = bench.missing(Server::Ser2net); !missing.isEmpty())
        QSKIP(qPrintable(missing));
    QVERIFY(bench.start(Server::Ser2net, {"--silent"}));
    bench.window->btn_Connect->click();
    QCOMPARE(bench.messages.titles(), QStringList{"Tarvex base not found"});
    QCOMPARE(bench.messages.shown[0].text, NotFoundText);
    VerifyDisconnected(bench.window);
    QVERIFY(!bench.base->waitForLine(RxOf(0xC0)).isNull());
    QVERIFY(bench.base->waitForLine(AnyRx, 300).isNull());
}

void tst_BenchOverNetwork::unreachableBenchIsAnInvalidPort_data()
{
    QTest::addColumn<QString>("mapping"); // <closed> stands for a port nobody listens on
    QTest::addColumn<QString>("named");   // what the title names
    QTest::newRow("a closed port") << "rfc2217://127.0.0.1:<closed>" << "127.0.0.1:<closed>";
    QTest::newRow("an unknown host") << "rfc2217://no-such-bench.invalid:2217" << "no-such-bench.invalid";
    QTest::newRow("a port out of range") << "rfc2217://bench5.lab:99999" << "rfc2217://bench5.lab:99999";
}

void tst_BenchOverNetwork::unreachableBenchIsAnInvalidPort()
{
    QFETCH(QString, mapping);
    QFETCH(QString, named);
    StoreSandbox sandbox;
    quint16 closed = 0;
    {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        closed = probe.serverPort();
    }
    mapping.replace(QStringLiteral("<closed>"), QString::number(closed));
    named.replace(QStringLiteral("<closed>"), QString::number(closed));
    QVERIFY(MapBench(mapping));
    RecordingMessageBoxes messages;
    QPointer<frm_FaultsAndMods> window = new frm_FaultsAndMods(platform::CreateSerialCommControl(ResolveComPort), messages);
    window->menu_Com[BenchCom - 1]->trigger();
    window->btn_Connect->click();
    QCOMPARE(messages.shown.size(), 1);
    QCOMPARE(messages.shown[0].text, QStringLiteral("The selected COM port is invalid."));
    QVERIFY2(messages.shown[0].title.contains(named), qPrintable(messages.shown[0].title));
    QCOMPARE(messages.shown[0].icon, MessageIcon::Exclamation);
    VerifyDisconnected(window);
    delete window.data();
}

void tst_BenchOverNetwork::exitStoresThePortAndKeepsTheMapping()
{
    NetworkBench bench;
    if (const QString missing = bench.missing(Server::Ser2net); !missing.isEmpty())
        QSKIP(qPrintable(missing));
    QVERIFY(bench.start(Server::Ser2net));
    QVERIFY(bench.connectToBase());
    bench.window->menu_Exit->trigger();
    QTRY_VERIFY(bench.window.isNull());
    QCOMPARE(platform::SettingsStore::read(settings_keys::Application, settings_keys::SectionGeneral,
                                           settings_keys::CommPort, QString()),
             QString::number(BenchCom));
    QCOMPARE(platform::SettingsStore::read(settings_keys::Application, settings_keys::SectionPorts,
                                           settings_keys::PortKey(BenchCom), QString()),
             bench.server->url());
    // Nothing was sent on the way out.
    QVERIFY(bench.base->waitForLine(AnyRx, 300).isNull());
}

QTEST_MAIN(tst_BenchOverNetwork)
#include "tst_bench_over_network.moc"
