// A serial server that falls silent (its power or its cable gone) sends no
// reset: the window must still tell "Connection lost" in time. Run through
// tests/support/in_private_network.sh, which gives the test a network of its
// own where a firewall rule can drop the server's packets.
#include "tests/support/recording_message_boxes.h"
#include "tests/support/scripted_server.h"
#include "tests/support/store_sandbox.h"

#include "platform/serial/serial_comm_control.h"
#include "trainer_panel/colour_button.h"
#include "trainer_panel/frm_FaultsAndMods.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QtTest>

namespace {

// What an instructor may wait at most before being told.
constexpr int LostWithinMs = 15000;

QString nft()
{
    return QStandardPaths::findExecutable(QStringLiteral("nft"), {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")});
}

// Why the server cannot be silenced here; empty when it can.
QString missing()
{
    if (qEnvironmentVariable("VELMORA_PRIVATE_NETWORK") != QLatin1String("1"))
        return QStringLiteral("needs a network namespace of its own, which tests/support/in_private_network.sh "
                              "gives as root");
    if (nft().isEmpty())
        return QStringLiteral("needs nft (Debian package nftables; tools/install-deps.sh installs it)");
    return QString();
}

// From now on every packet the server sends is lost on the way.
bool silence(quint16 serverPort)
{
    const QString rules = QStringLiteral("table inet silence {\n"
                                         "  chain out {\n"
                                         "    type filter hook output priority 0;\n"
                                         "    tcp sport %1 drop\n"
                                         "  }\n"
                                         "}\n")
                              .arg(serverPort);
    QProcess process;
    process.start(nft(), {QStringLiteral("-f"), QStringLiteral("-")});
    process.write(rules.toUtf8());
    process.closeWriteChannel();
    return process.waitForFinished(5000) && process.exitCode() == 0;
}

void unsilence()
{
    QProcess::execute(nft(), {QStringLiteral("delete"), QStringLiteral("table"), QStringLiteral("inet"),
                              QStringLiteral("silence")});
}

} // namespace

class tst_NetworkSilence : public QObject
{
    Q_OBJECT

private slots:
    void silentServerIsALostConnection_data();
    void silentServerIsALostConnection();
};

void tst_NetworkSilence::silentServerIsALostConnection_data()
{
    QTest::addColumn<bool>("click"); // a command goes out after the server fell silent
    QTest::newRow("nothing under way") << false;
    QTest::newRow("a fault clicked meanwhile") << true;
}

void tst_NetworkSilence::silentServerIsALostConnection()
{
    QFETCH(bool, click);
    if (const QString why = missing(); !why.isEmpty())
        QSKIP(qPrintable(why));
    StoreSandbox sandbox;
    ScriptedServer server(ScriptedServer::Script{});
    const QString url = QStringLiteral("rfc2217://127.0.0.1:%1").arg(server.port());
    RecordingMessageBoxes messages;
    QPointer<frm_FaultsAndMods> window = new frm_FaultsAndMods(
        platform::CreateSerialCommControl([url](int number) { return platform::PortTargetFromMapping(number, url); }),
        messages);
    window->btn_Connect->click();
    QVERIFY2(messages.shown.isEmpty(), qPrintable(messages.titles().join(u',')));
    QTRY_VERIFY(window->connectionArmed());

    QVERIFY(silence(server.port()));
    QElapsedTimer clock;
    clock.start();
    if (click) {
        QTest::qWait(500);
        window->btn_Fault[2]->click();
    }
    QTRY_COMPARE_WITH_TIMEOUT(messages.titles(), QStringList{"Connection lost"}, LostWithinMs + 2000);
    const qint64 took = clock.elapsed();
    unsilence();
    QVERIFY2(took <= LostWithinMs, qPrintable(QStringLiteral("%1 ms").arg(took)));
    QVERIFY(!window->MSCommObject->portOpen());
    QVERIFY(window->btn_Connect->isEnabled());
    QTest::qWait(200);
    QCOMPARE(messages.shown.size(), 1);
    qInfo("lost after %lld ms", took);
    delete window.data();
}

QTEST_MAIN(tst_NetworkSilence)
#include "tst_network_silence.moc"
