// What a COM number leads to: the value mapped in the store's "Ports" section,
// read at every open, on every system.
#include "tests/support/store_sandbox.h"

#include "app_settings/port_mapping.h"
#include "app_settings/settings_keys.h"
#include "platform/settings/settings_store.h"

#include <QtTest>

using platform::PortTarget;
using Kind = platform::PortTarget::Kind;

Q_DECLARE_METATYPE(platform::PortTarget::Kind)

namespace {

void mapPort(int port, const QString &value)
{
    QVERIFY(platform::SettingsStore::write(settings_keys::Application, settings_keys::SectionPorts,
                                           settings_keys::PortKey(port), value));
}

} // namespace

class tst_PortMapping : public QObject
{
    Q_OBJECT

private slots:
    void mappedValues_data();
    void mappedValues();
    void unusableValuesAreNamedInTheDescription_data();
    void unusableValuesAreNamedInTheDescription();
};

void tst_PortMapping::mappedValues_data()
{
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("stored"); // null: no key
    QTest::addColumn<Kind>("kind");
    QTest::addColumn<QString>("where");  // the device, or HOST:PORT
    QTest::addColumn<QString>("host");

    QTest::newRow("a bench by name") << 5 << "rfc2217://bench5.lab:2217" << Kind::Network
                                     << "bench5.lab:2217" << "bench5.lab";
    QTest::newRow("scheme in capitals, a final slash")
        << 2 << "RFC2217://Bench2.Lab:2217/" << Kind::Network << "Bench2.Lab:2217" << "Bench2.Lab";
    QTest::newRow("an IPv4 address") << 3 << "rfc2217://192.168.4.20:3001" << Kind::Network
                                     << "192.168.4.20:3001" << "192.168.4.20";
    QTest::newRow("an IPv6 address in brackets") << 4 << "rfc2217://[fd00:12::7]:2217" << Kind::Network
                                                 << "[fd00:12::7]:2217" << "fd00:12::7";
    QTest::newRow("IPv6 loopback, highest port") << 1 << "rfc2217://[::1]:65535" << Kind::Network
                                                 << "[::1]:65535" << "::1";
    QTest::newRow("IPv4 loopback") << 6 << "rfc2217://127.0.0.1:2217" << Kind::Network << "127.0.0.1:2217"
                                   << "127.0.0.1";
    QTest::newRow("IPv4 with zeros and 255 in it") << 7 << "rfc2217://10.0.255.0:2217" << Kind::Network
                                                   << "10.0.255.0:2217" << "10.0.255.0";
    QTest::newRow("a name with digits in its labels") << 8 << "rfc2217://10-bench.3lab:2217" << Kind::Network
                                                      << "10-bench.3lab:2217" << "10-bench.3lab";
    QTest::newRow("lowest port, a name ending in a dot") << 12 << "rfc2217://bench-12.lab.:1" << Kind::Network
                                                         << "bench-12.lab.:1" << "bench-12.lab.";
#ifdef Q_OS_WIN
    QTest::newRow("unmapped: the system's own COM3") << 3 << QString() << Kind::SystemPort << "" << "";
    QTest::newRow("an empty value counts as unmapped") << 4 << "" << Kind::SystemPort << "" << "";
#else
    QTest::newRow("an adapter by id") << 1 << "/dev/serial/by-id/usb-FTDI_FT232R-if00-port0" << Kind::Device
                                      << "/dev/serial/by-id/usb-FTDI_FT232R-if00-port0" << "";
    QTest::newRow("unmapped COM3 is the third UART") << 3 << QString() << Kind::Device << "/dev/ttyS2" << "";
    QTest::newRow("unmapped COM1") << 1 << QString() << Kind::Device << "/dev/ttyS0" << "";
    QTest::newRow("a bare device name is under /dev") << 2 << "ttyUSB0" << Kind::Device << "/dev/ttyUSB0" << "";
    QTest::newRow("an empty value counts as unmapped") << 4 << "" << Kind::Device << "/dev/ttyS3" << "";
#endif
    QTest::newRow("port 0 leads nowhere") << 0 << "rfc2217://bench.lab:2217" << Kind::Invalid << "" << "";
    QTest::newRow("a negative port leads nowhere") << -2 << QString() << Kind::Invalid << "" << "";
}

void tst_PortMapping::mappedValues()
{
    QFETCH(int, port);
    QFETCH(QString, stored);
    QFETCH(Kind, kind);
    QFETCH(QString, where);
    QFETCH(QString, host);
    StoreSandbox sandbox;
    if (!stored.isNull())
        mapPort(qMax(port, 0), stored);
    mapPort(port + 1, QStringLiteral("rfc2217://neighbour:9")); // a neighbour's key is not read

    const PortTarget target = ResolveComPort(port);
    QCOMPARE(target.kind, kind);
    QCOMPARE(target.number, port);
    switch (kind) {
    case Kind::Network:
        QCOMPARE(platform::NetworkAddressText(target), where);
        QCOMPARE(target.host, host);
        break;
    case Kind::Device:
        QCOMPARE(target.device, where);
        break;
    case Kind::SystemPort:
        break;
    case Kind::Invalid:
        QCOMPARE(target.description, QStringLiteral("Invalid port number"));
        break;
    }
}

void tst_PortMapping::unusableValuesAreNamedInTheDescription_data()
{
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QString>("shown"); // as the description quotes it
    QTest::addColumn<QString>("reason");

    const QString noPort = QStringLiteral("names no TCP port");
    const QString portRange = QStringLiteral("TCP port is not 1 to 65535");
    const QString badHost = QStringLiteral("host is no name or address");
    const QString notAddress = QStringLiteral("no rfc2217://HOST:PORT address");
    const auto row = [](const char *name, const QString &stored, const QString &reason) {
        QTest::newRow(name) << stored << stored << reason;
    };
    row("no port", QStringLiteral("rfc2217://bench5.lab"), noPort);
    row("port 0", QStringLiteral("rfc2217://bench5.lab:0"), portRange);
    row("port 65536", QStringLiteral("rfc2217://bench5.lab:65536"), portRange);
    row("port of six digits", QStringLiteral("rfc2217://bench5.lab:002217"), portRange);
    row("signed port", QStringLiteral("rfc2217://bench5.lab:+2217"), portRange);
    row("port with letters", QStringLiteral("rfc2217://bench5.lab:22a"), portRange);
    row("empty port", QStringLiteral("rfc2217://bench5.lab:"), portRange);
    row("empty host", QStringLiteral("rfc2217://:2217"), badHost);
    row("blank in the host", QStringLiteral("rfc2217://bench 5:2217"), badHost);
    row("user in the address", QStringLiteral("rfc2217://admin@bench5:2217"), badHost);
    row("a path after the port", QStringLiteral("rfc2217://bench5.lab:2217/dev/ttyS0"), portRange);
    // An address in any form but four plain decimal numbers could lead elsewhere
    // (a leading zero reads as octal): refused, never looked up as a name.
    const QString badIpv4 = QStringLiteral("IPv4 address is not four numbers 0 to 255 without leading zeros");
    row("an IPv4 address out of range", QStringLiteral("rfc2217://999.1.1.1:2217"), badIpv4);
    row("256 in an IPv4 address", QStringLiteral("rfc2217://256.1.1.1:2217"), badIpv4);
    row("zero-padded last part", QStringLiteral("rfc2217://127.0.0.010:2217"), badIpv4);
    row("zero-padded first part", QStringLiteral("rfc2217://010.0.0.1:2217"), badIpv4);
    row("zero-padded parts of a lab address", QStringLiteral("rfc2217://192.168.040.015:2217"), badIpv4);
    row("an address as one number", QStringLiteral("rfc2217://2130706433:2217"), badIpv4);
    row("zero alone", QStringLiteral("rfc2217://0:2217"), badIpv4);
    row("three parts", QStringLiteral("rfc2217://1.2.3:2217"), badIpv4);
    row("five parts", QStringLiteral("rfc2217://1.2.3.4.5:2217"), badIpv4);
    row("hexadecimal parts", QStringLiteral("rfc2217://0x7f.0.0.1:2217"), badIpv4);
    row("a name whose last label is a number", QStringLiteral("rfc2217://bench.5:2217"), badIpv4);
    row("IPv6 without brackets", QStringLiteral("rfc2217://fd00::7:2217"), badHost);
    row("IPv6 that is not one", QStringLiteral("rfc2217://[fd00::zz]:2217"), QStringLiteral("IPv6 address is not valid"));
    row("a label too long", QStringLiteral("rfc2217://") + QString(64, u'a') + QStringLiteral(":1"), badHost);
    row("another scheme", QStringLiteral("telnet://bench5.lab:23"), notAddress);
#ifdef Q_OS_WIN
    row("a device path has no meaning here", QStringLiteral("/dev/ttyUSB0"), notAddress);
#endif
    // What a settings file holds is shown bounded and printable.
    QTest::newRow("a control character") << QStringLiteral("rfc2217://bench\x01:2217")
                                         << QStringLiteral("rfc2217://bench?:2217") << badHost;
    const QString longValue = QStringLiteral("rfc2217://") + QString(300, u'b') + QStringLiteral(":2217");
    QTest::newRow("a very long value") << longValue << longValue.left(80) + QStringLiteral("...") << badHost;
}

void tst_PortMapping::unusableValuesAreNamedInTheDescription()
{
    QFETCH(QString, stored);
    QFETCH(QString, shown);
    QFETCH(QString, reason);
    StoreSandbox sandbox;
    mapPort(5, stored);
    const PortTarget target = ResolveComPort(5);
    QCOMPARE(target.kind, Kind::Invalid);
    QVERIFY2(target.description.startsWith(QStringLiteral("Invalid port number: COM5 is mapped to \"") + shown + u'"'),
             qPrintable(target.description));
    QVERIFY2(target.description.contains(reason), qPrintable(target.description));
}

QTEST_GUILESS_MAIN(tst_PortMapping)
#include "tst_port_mapping.moc"
