// The main window against Debian's ser2net inside TLS with client
// certificates (rfc2217s://), set up with tools/lab-certs.sh as a lab would:
// every certificate or mapping that is not right ends the Connect with its
// reason, and nothing reaches the base. The lab's own desk getting through is
// among the rows of tst_bench_over_network.
#include "tests/support/network_bench.h"
#include "tests/support/panel_checks.h"

#include "platform/serial/network/network_serial_device.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
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
    void refusedBeforeAnythingReachesTheBase_data();
    void refusedBeforeAnythingReachesTheBase();
    void aDeskTakenAwayIsRefusedAtTheNextConnect();
    void anotherTlsPeer_data();
    void anotherTlsPeer();

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
        return platform::SettingsStore::remove(settings_keys::Application, settings_keys::SectionTls,
                                               settings_keys::TlsCertificate)
            && platform::SettingsStore::remove(settings_keys::Application, settings_keys::SectionTls,
                                               settings_keys::TlsKey);
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

// openssl s_server, a TLS peer that no one here wrote, for the failure side.
void tst_BenchInsideTls::anotherTlsPeer_data()
{
    QTest::addColumn<QString>("bench");      // the server's certificate, as lab-certs.sh names it
    QTest::addColumn<bool>("asksForDesk");   // -Verify, with a CA the desk is not from
    QTest::addColumn<QString>("reason");
    QTest::newRow("a certificate for another name")
        << "bench9.lab" << false << "the certificate of <address> is for another host";
    QTest::newRow("a server that allows no desk of this lab")
        << "127.0.0.1" << true << "<address> refused the desk's certificate";
}

void tst_BenchInsideTls::anotherTlsPeer()
{
    QFETCH(QString, bench);
    QFETCH(bool, asksForDesk);
    QFETCH(QString, reason);
    const QString openssl = QStandardPaths::findExecutable(QStringLiteral("openssl"));
    if (openssl.isEmpty())
        QSKIP("needs openssl (tools/install-deps.sh installs it)");
    QTemporaryDir other;
    QVERIFY(other.isValid());
    if (!QFile::exists(m_lab.filePath(bench + QStringLiteral(".crt"))))
        QVERIFY(SerialServerProcess::RunLabCerts({QStringLiteral("bench"), m_lab.path(), bench}));
    QVERIFY(SerialServerProcess::RunLabCerts({QStringLiteral("ca"), other.path()}));

    StoreSandbox sandbox;
    quint16 port = 0;
    {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        port = probe.serverPort();
    }
    QStringList arguments{QStringLiteral("s_server"), QStringLiteral("-accept"), QStringLiteral("127.0.0.1:%1").arg(port),
                          QStringLiteral("-cert"), m_lab.filePath(bench + QStringLiteral(".crt")),
                          QStringLiteral("-key"), m_lab.filePath(bench + QStringLiteral(".key")), QStringLiteral("-quiet")};
    if (asksForDesk)
        arguments << QStringLiteral("-Verify") << QStringLiteral("1") << QStringLiteral("-verify_return_error")
                  << QStringLiteral("-CAfile") << other.filePath(QStringLiteral("ca.crt"));
    QProcess server;
    server.setProcessChannelMode(QProcess::SeparateChannels);
    server.start(openssl, arguments);
    QVERIFY(server.waitForStarted());
    const auto end = qScopeGuard([&server] {
        server.kill();
        server.waitForFinished(3000);
    });
    QTRY_VERIFY_WITH_TIMEOUT(QTcpSocket().bind(QHostAddress::LocalHost, port) == false, 5000);
    QVERIFY(MapBench(QStringLiteral("rfc2217s://127.0.0.1:%1").arg(port)));
    QVERIFY(WriteSetting(settings_keys::SectionTls, settings_keys::TlsCa, m_lab.filePath(QStringLiteral("ca.crt"))));
    QVERIFY(WriteSetting(settings_keys::SectionTls, settings_keys::TlsCertificate, m_lab.filePath(QStringLiteral("desk1.crt"))));
    QVERIFY(WriteSetting(settings_keys::SectionTls, settings_keys::TlsKey, m_lab.filePath(QStringLiteral("desk1.key"))));

    RecordingMessageBoxes messages;
    QPointer<frm_FaultsAndMods> window = new frm_FaultsAndMods(platform::CreateSerialCommControl(ResolveComPort), messages);
    const auto closeWindow = qScopeGuard([&window] { delete window.data(); });
    window->menu_Com[BenchCom - 1]->trigger();
    window->btn_Connect->click();
    QCOMPARE(messages.shown.size(), 1);
    reason.replace(QStringLiteral("<address>"), QStringLiteral("127.0.0.1:%1").arg(port));
    QVERIFY2(messages.shown[0].title.contains(reason), qPrintable(messages.shown[0].title));
    VerifyDisconnected(window);
    // s_server -quiet prints what a client sends: nothing came through TLS.
    server.waitForReadyRead(200);
    QCOMPARE(server.readAllStandardOutput(), QByteArray());
}

QTEST_MAIN(tst_BenchInsideTls)
#include "tst_bench_inside_tls.moc"
