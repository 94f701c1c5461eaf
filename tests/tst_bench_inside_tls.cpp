// The main window reaching a simulated base through Debian's ser2net inside
// TLS with client certificates (rfc2217s://), set up with tools/lab-certs.sh
// as a lab would: the lab's own desk gets through, and every certificate or
// mapping that is not right ends the Connect with its reason and nothing
// reaching the base.
#include "tests/support/network_bench.h"
#include "tests/support/panel_checks.h"

#include "platform/serial/network/network_serial_device.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

using platform::MessageIcon;
using namespace panel_checks;
using namespace network_bench;
using Server = SerialServerProcess::Kind;
using BenchCertificate = SerialServerProcess::TlsOptions::BenchCertificate;

namespace {

// What the desk's settings hold besides the lab CA.
enum class Desk {
    Allowed,          // desk1, whose folder is in the bench's authdir
    None,             // no certificate set up
    NotAllowed,       // desk1, its folder taken out of the authdir
    KeyReadable,      // desk1 with a key that others may read
    KeyOfAnother,     // desk1's certificate with desk2's key
};

// What COM 5 is mapped to.
enum class Mapping {
    Tls,              // rfc2217s:// to the TLS port
    PlainToTlsPort,   // rfc2217:// to the TLS port
    TlsToPlainPort,   // rfc2217s:// to a plain ser2net
    PlainRequired,    // rfc2217:// while [TLS] Required is true
};

} // namespace

Q_DECLARE_METATYPE(BenchCertificate)
Q_DECLARE_METATYPE(Desk)
Q_DECLARE_METATYPE(Mapping)

class tst_BenchInsideTls : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void itemsAndResetReachTheBoard();
    void lostAtTheBench_data();
    void lostAtTheBench();
    void refusedBeforeAnythingReachesTheBase_data();
    void refusedBeforeAnythingReachesTheBase();
    void aDeskTakenAwayIsRefusedAtTheNextConnect();

private:
    [[nodiscard]] bool startBench(NetworkBench &bench, Server kind = Server::Ser2netTls,
                                  BenchCertificate certificate = BenchCertificate::Good);
    [[nodiscard]] bool setUpDesk(Desk desk, const NetworkBench &bench);

    // One lab (its CA, desk1 and desk2) for every row: keys take a while to make.
    QTemporaryDir m_lab;
};

void tst_BenchInsideTls::initTestCase()
{
    NetworkBench probe;
    if (const QString missing = probe.missing(Server::Ser2netTls); !missing.isEmpty())
        QSKIP(qPrintable(missing));
    QVERIFY(m_lab.isValid());
    QVERIFY(SerialServerProcess::RunLabCerts({QStringLiteral("ca"), m_lab.path()}));
    QVERIFY(SerialServerProcess::RunLabCerts({QStringLiteral("desk"), m_lab.path(), QStringLiteral("desk1")}));
    QVERIFY(SerialServerProcess::RunLabCerts({QStringLiteral("desk"), m_lab.path(), QStringLiteral("desk2")}));
}

bool tst_BenchInsideTls::startBench(NetworkBench &bench, Server kind, BenchCertificate certificate)
{
    SerialServerProcess::TlsOptions tls;
    tls.bench = certificate;
    tls.lab = m_lab.path();
    return bench.start(kind, {}, tls)
        && WriteSetting(settings_keys::SectionTls, settings_keys::TlsCa, m_lab.filePath(QStringLiteral("ca.crt")));
}

bool tst_BenchInsideTls::setUpDesk(Desk desk, const NetworkBench &bench)
{
    const QString certificate = m_lab.filePath(QStringLiteral("desk1.crt"));
    QString key = m_lab.filePath(QStringLiteral("desk1.key"));
    switch (desk) {
    case Desk::None:
        return true;
    case Desk::Allowed:
        break;
    case Desk::NotAllowed:
        if (!QDir(bench.server->authDir() + QStringLiteral("/desk1")).removeRecursively())
            return false;
        break;
    case Desk::KeyReadable: {
        const QString copy = m_lab.filePath(QStringLiteral("desk1-readable.key"));
        QFile::remove(copy);
        if (!QFile::copy(key, copy)
            || !QFile::setPermissions(copy, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther))
            return false;
        key = copy;
        break;
    }
    case Desk::KeyOfAnother:
        key = m_lab.filePath(QStringLiteral("desk2.key"));
        break;
    }
    return WriteSetting(settings_keys::SectionTls, settings_keys::TlsCertificate, certificate)
        && WriteSetting(settings_keys::SectionTls, settings_keys::TlsKey, key);
}

void tst_BenchInsideTls::itemsAndResetReachTheBoard()
{
    NetworkBench bench;
    QVERIFY(startBench(bench));
    QVERIFY(setUpDesk(Desk::Allowed, bench));
    QVERIFY(bench.connectToBase());
    VerifyConnected(bench.window, BenchCom);

    ItemButton(bench.window, QStringLiteral("fault 3"))->click();
    QVERIFY(RxOf(0x56).match(bench.base->waitForLine(AnyRx)).hasMatch());
    bench.window->btn_Reset->click();
    const QString reset = bench.base->waitForLine(AnyRx);
    QVERIFY2(RxOf(0x80).match(reset).hasMatch(), qPrintable(reset));
    QCOMPARE(TarvexSimProcess::boardState(reset), QStringLiteral("faults=none mods=none"));
    QVERIFY(bench.base->waitForLine(AnyRx, 300).isNull());
    QVERIFY(bench.messages.shown.isEmpty());
}

void tst_BenchInsideTls::lostAtTheBench_data()
{
    QTest::addColumn<QString>("what"); // a control typed at the simulator, or "server stopped"
    QTest::newRow("base switched off") << "power off";
    QTest::newRow("ser2net stopped") << "server stopped";
}

void tst_BenchInsideTls::lostAtTheBench()
{
    QFETCH(QString, what);
    NetworkBench bench;
    QVERIFY(startBench(bench));
    QVERIFY(setUpDesk(Desk::Allowed, bench));
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
    VerifyDisconnected(bench.window);
    QTest::qWait(1500);
    QCOMPARE(bench.messages.shown.size(), 1);
}

void tst_BenchInsideTls::refusedBeforeAnythingReachesTheBase_data()
{
    QTest::addColumn<BenchCertificate>("certificate");
    QTest::addColumn<Desk>("desk");
    QTest::addColumn<Mapping>("mapping");
    QTest::addColumn<QString>("reason"); // in the title; <address> stands for 127.0.0.1:PORT

    const auto row = [](const char *name, BenchCertificate certificate, Desk desk, Mapping mapping,
                        const QString &reason) { QTest::newRow(name) << certificate << desk << mapping << reason; };
    const QString untrusted = QStringLiteral("the certificate of <address> is not signed by a trusted CA");
    row("a bench of another CA", BenchCertificate::OtherCa, Desk::Allowed, Mapping::Tls, untrusted);
    row("a self-signed bench", BenchCertificate::SelfSigned, Desk::Allowed, Mapping::Tls, untrusted);
    row("a bench certificate for another name", BenchCertificate::OtherName, Desk::Allowed, Mapping::Tls,
        QStringLiteral("the certificate of <address> is for another host"));
    row("an expired bench certificate", BenchCertificate::Expired, Desk::Allowed, Mapping::Tls,
        QStringLiteral("the certificate of <address> has expired"));
    row("a bench certificate not yet valid", BenchCertificate::NotYetValid, Desk::Allowed, Mapping::Tls,
        QStringLiteral("the certificate of <address> is not yet valid"));
    row("no desk certificate set up", BenchCertificate::Good, Desk::None, Mapping::Tls,
        QStringLiteral("<address> asks for the desk's certificate, and none is set up"));
    row("a desk the bench does not allow", BenchCertificate::Good, Desk::NotAllowed, Mapping::Tls,
        QStringLiteral("<address> refused the desk's certificate"));
    row("a desk key that others may read", BenchCertificate::Good, Desk::KeyReadable, Mapping::Tls,
        QStringLiteral("can be read by others (chmod 600 "));
    row("a desk key of another certificate", BenchCertificate::Good, Desk::KeyOfAnother, Mapping::Tls,
        QStringLiteral("the desk's certificate and key cannot be used"));
    row("a plain mapping to the TLS port", BenchCertificate::Good, Desk::Allowed, Mapping::PlainToTlsPort,
        QStringLiteral("<address> closed the connection without a word (a TLS port?"));
    row("a TLS mapping to a plain port", BenchCertificate::Good, Desk::Allowed, Mapping::TlsToPlainPort,
        QStringLiteral("<address> is a plain Telnet port, not TLS"));
    row("a plain mapping while TLS is required", BenchCertificate::Good, Desk::Allowed, Mapping::PlainRequired,
        QStringLiteral("which is not TLS (rfc2217s://), and [TLS] Required is true"));
}

void tst_BenchInsideTls::refusedBeforeAnythingReachesTheBase()
{
    QFETCH(BenchCertificate, certificate);
    QFETCH(Desk, desk);
    QFETCH(Mapping, mapping);
    QFETCH(QString, reason);
    NetworkBench bench;
    QVERIFY(startBench(bench, mapping == Mapping::TlsToPlainPort ? Server::Ser2net : Server::Ser2netTls, certificate));
    QVERIFY(setUpDesk(desk, bench));
    const QString address = QStringLiteral("127.0.0.1:%1").arg(bench.server->port());
    switch (mapping) {
    case Mapping::Tls:
        break;
    case Mapping::PlainToTlsPort:
        QVERIFY(MapBench(QStringLiteral("rfc2217://") + address));
        break;
    case Mapping::TlsToPlainPort:
        QVERIFY(MapBench(QStringLiteral("rfc2217s://") + address));
        break;
    case Mapping::PlainRequired:
        QVERIFY(MapBench(QStringLiteral("rfc2217://") + address));
        QVERIFY(WriteSetting(settings_keys::SectionTls, settings_keys::TlsRequired, QStringLiteral("true")));
        break;
    }

    QElapsedTimer clock;
    clock.start();
    bench.window->btn_Connect->click();
    QVERIFY2(clock.elapsed() < platform::NetworkOpenTimeoutMs + 500, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(bench.messages.shown.size(), 1);
    QCOMPARE(bench.messages.shown[0].text, QStringLiteral("The selected COM port is invalid."));
    QCOMPARE(bench.messages.shown[0].icon, MessageIcon::Exclamation);
    reason.replace(QStringLiteral("<address>"), address);
    QVERIFY2(bench.messages.shown[0].title.startsWith(QStringLiteral("Invalid port number: ")),
             qPrintable(bench.messages.shown[0].title));
    QVERIFY2(bench.messages.shown[0].title.contains(reason), qPrintable(bench.messages.shown[0].title));
    VerifyDisconnected(bench.window);
    // Not the probe, not a byte of the negotiation nor of a TLS hello.
    const QString reached = bench.base->waitForLine(AnyRx, 300);
    QVERIFY2(reached.isNull(), qPrintable(reached));
}

void tst_BenchInsideTls::aDeskTakenAwayIsRefusedAtTheNextConnect()
{
    NetworkBench bench;
    QVERIFY(startBench(bench));
    QVERIFY(setUpDesk(Desk::Allowed, bench));
    QVERIFY(bench.connectToBase());
    bench.window->btn_Disconnect->click();

    // Lab IT takes the desk's folder away at the bench; ser2net is not restarted.
    QVERIFY(QDir(bench.server->authDir() + QStringLiteral("/desk1")).removeRecursively());
    bench.window->btn_Connect->click();
    QCOMPARE(bench.messages.shown.size(), 1);
    QVERIFY2(bench.messages.shown[0].title.contains(QStringLiteral("refused the desk's certificate")),
             qPrintable(bench.messages.shown[0].title));
    VerifyDisconnected(bench.window);
    QVERIFY(bench.base->waitForLine(AnyRx, 300).isNull());
}

QTEST_MAIN(tst_BenchInsideTls)
#include "tst_bench_inside_tls.moc"
