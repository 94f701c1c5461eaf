// The values in force: the user's own, else the machine-wide ones that lab IT
// deploys (files in $XDG_CONFIG_DIRS on POSIX systems, HKEY_LOCAL_MACHINE on
// Windows), for Ports and TLS only; TLS/Required from either store.
#include "tests/support/scripted_server.h"
#include "tests/support/store_sandbox.h"

#include "app_settings/port_mapping.h"
#include "app_settings/settings_in_force.h"
#include "app_settings/settings_keys.h"
#include "platform/serial/serial_comm_control.h"
#include "platform/settings/settings_store.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

using Origin = SettingInForce::Origin;

Q_DECLARE_METATYPE(SettingInForce::Origin)

namespace {

// What the machine-wide store holds: "Section/Key=value" lines; on POSIX
// systems a line "--" starts the next folder of $XDG_CONFIG_DIRS, and the
// words "damaged" and "unreadable" stand for such a first file.
using MachineStore = QStringList;

#ifdef Q_OS_WIN
bool deploy(const MachineStore &machine, StoreSandbox &, QTemporaryDir &)
{
    QSettings key(platform::SettingsStore::machineLocations(settings_keys::Application).first(),
                  QSettings::Registry64Format);
    for (const QString &line : machine) {
        if (line == u"--" || line == u"damaged" || line == u"unreadable")
            continue; // a folder or file of its own: POSIX systems only
        const qsizetype equals = line.indexOf(u'=');
        key.setValue(line.left(equals), line.mid(equals + 1));
    }
    key.sync();
    return key.status() == QSettings::NoError;
}
#else
bool deploy(const MachineStore &machine, StoreSandbox &sandbox, QTemporaryDir &more)
{
    QStringList folders{sandbox.machineDir()};
    QByteArray text;
    const auto finish = [&folders, &text]() {
        const QString path = folders.last() + QLatin1String("/TarvexCircuitTool.ini");
        if (text.isEmpty())
            return true;
        QFile file(path);
        const bool written = file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
        text.clear();
        return written;
    };
    QString section;
    for (const QString &line : machine) {
        if (line == u"--") {
            if (!finish())
                return false;
            folders << more.filePath(QString::number(folders.size()));
            QDir().mkpath(folders.last());
            section.clear();
        } else if (line == u"damaged") {
            text = QByteArray("[Ports]\nCOM3=/dev/ttyUSB9\n\0\n", 28);
        } else if (line == u"unreadable") {
            // A folder where the file should be: no one can read it, root included.
            QDir().mkpath(folders.last() + QLatin1String("/TarvexCircuitTool.ini"));
        } else {
            const qsizetype slash = line.indexOf(u'/');
            const QString lineSection = line.left(slash);
            if (lineSection != section)
                text += '[' + lineSection.toUtf8() + "]\n";
            section = lineSection;
            text += line.mid(slash + 1).toUtf8() + '\n';
        }
    }
    if (!finish())
        return false;
    qputenv("XDG_CONFIG_DIRS", folders.join(u':').toLocal8Bit());
    return true;
}
#endif

bool setOwn(const QStringList &user)
{
    for (const QString &line : user) {
        const qsizetype slash = line.indexOf(u'/');
        const qsizetype equals = line.indexOf(u'=');
        if (!platform::SettingsStore::write(settings_keys::Application, line.left(slash),
                                            line.mid(slash + 1, equals - slash - 1), line.mid(equals + 1)))
            return false;
    }
    return true;
}

} // namespace

class tst_SettingsInForce : public QObject
{
    Q_OBJECT

private slots:
    void userWinsMachineHolds_data();
    void userWinsMachineHolds();
    void requiredFromEitherStore_data();
    void requiredFromEitherStore();
    void machineValuesLeadTheWay();
    void aBenchOnlyTheMachineMapsIsReached();
};

void tst_SettingsInForce::userWinsMachineHolds_data()
{
    QTest::addColumn<QStringList>("user");
    QTest::addColumn<MachineStore>("machine");
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::addColumn<Origin>("origin");

    const QString bench = QStringLiteral("rfc2217s://bench3.lab:2217");
    const QString own = QStringLiteral("rfc2217://desk-bench.lab:2217");
    QTest::newRow("user only") << QStringList{"Ports/COM3=" + own} << MachineStore{} << "Ports" << "COM3" << own
                               << Origin::User;
    QTest::newRow("machine only") << QStringList{} << MachineStore{"Ports/COM3=" + bench} << "Ports" << "COM3"
                                  << bench << Origin::Machine;
    QTest::newRow("both: the user's wins") << QStringList{"Ports/COM3=" + own} << MachineStore{"Ports/COM3=" + bench}
                                           << "Ports" << "COM3" << own << Origin::User;
    QTest::newRow("a key of another number is not this one's")
        << QStringList{} << MachineStore{"Ports/COM4=" + bench} << "Ports" << "COM3" << "" << Origin::Missing;
    QTest::newRow("TLS from the machine") << QStringList{} << MachineStore{"TLS/CA=/etc/velmora/lab-ca.crt"}
                                          << "TLS" << "CA" << "/etc/velmora/lab-ca.crt" << Origin::Machine;
    QTest::newRow("General never from the machine")
        << QStringList{} << MachineStore{"General/CommPort=7", "General/Password=x1y2"} << "General" << "CommPort"
        << "" << Origin::Missing;
#ifndef Q_OS_WIN
    QTest::newRow("a damaged machine file reads as empty")
        << QStringList{} << MachineStore{"damaged"} << "Ports" << "COM3" << "" << Origin::Missing;
    QTest::newRow("an unreadable machine file reads as empty")
        << QStringList{} << MachineStore{"unreadable"} << "Ports" << "COM3" << "" << Origin::Missing;
    QTest::newRow("the first folder wins")
        << QStringList{} << MachineStore{"Ports/COM3=" + bench, "--", "Ports/COM3=/dev/ttyUSB0"} << "Ports" << "COM3"
        << bench << Origin::Machine;
    QTest::newRow("a later folder where the first has no such key")
        << QStringList{} << MachineStore{"Ports/COM4=/dev/ttyUSB4", "--", "Ports/COM3=" + bench} << "Ports"
        << "COM3" << bench << Origin::Machine;
    QTest::newRow("past a damaged first folder")
        << QStringList{} << MachineStore{"damaged", "--", "Ports/COM3=" + bench} << "Ports" << "COM3" << bench
        << Origin::Machine;
#endif
}

void tst_SettingsInForce::userWinsMachineHolds()
{
    QFETCH(QStringList, user);
    QFETCH(MachineStore, machine);
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(Origin, origin);
    StoreSandbox sandbox;
    QTemporaryDir more;
    QVERIFY(deploy(machine, sandbox, more));
    QVERIFY(setOwn(user));

    const SettingInForce inForce = ReadInForce(section, key);
    QCOMPARE(inForce.value, value);
    QCOMPARE(inForce.origin, origin);
    if (origin == Origin::User)
        QCOMPARE(inForce.where, platform::SettingsStore::location(settings_keys::Application));
    if (origin == Origin::Machine)
        QVERIFY2(inForce.where.contains(QLatin1String("TarvexCircuitTool")), qPrintable(inForce.where));
    // The machine's values are only ever read: nothing of them reaches the user's store.
    if (user.isEmpty())
        QCOMPARE(platform::SettingsStore::find(settings_keys::Application, section, key), std::nullopt);
}

void tst_SettingsInForce::requiredFromEitherStore_data()
{
    QTest::addColumn<QStringList>("user");
    QTest::addColumn<MachineStore>("machine");
    QTest::addColumn<bool>("required");
    QTest::newRow("neither") << QStringList{} << MachineStore{} << false;
    QTest::newRow("the user's alone") << QStringList{"TLS/Required=true"} << MachineStore{} << true;
    QTest::newRow("the machine's alone") << QStringList{} << MachineStore{"TLS/Required=TRUE"} << true;
    QTest::newRow("the user's false cannot lift the machine's true")
        << QStringList{"TLS/Required=false"} << MachineStore{"TLS/Required=true"} << true;
    QTest::newRow("both false") << QStringList{"TLS/Required=false"} << MachineStore{"TLS/Required=false"} << false;
}

void tst_SettingsInForce::requiredFromEitherStore()
{
    QFETCH(QStringList, user);
    QFETCH(MachineStore, machine);
    QFETCH(bool, required);
    StoreSandbox sandbox;
    QTemporaryDir more;
    QVERIFY(deploy(machine, sandbox, more));
    QVERIFY(setOwn(user));
    QVERIFY(setOwn({QStringLiteral("Ports/COM2=rfc2217://bench2.lab:2217")}));
    QCOMPARE(TlsRequired(), required);
    // What a plain mapping then leads to.
    QCOMPARE(ResolveComPort(2).kind == platform::PortTarget::Kind::Invalid, required);
}

// A user with an empty store reaches what only the machine maps, with the
// machine's certificates, relative paths taken from where they were set.
void tst_SettingsInForce::machineValuesLeadTheWay()
{
    StoreSandbox sandbox;
    QTemporaryDir more;
#ifdef Q_OS_WIN
    const QString base = qEnvironmentVariable("ProgramData");
#else
    const QString base = sandbox.machineDir();
#endif
    QVERIFY(deploy({"Ports/COM3=rfc2217s://bench3.lab:2217", "TLS/CA=lab/ca.crt", "TLS/Certificate=/lab/desk.crt",
                    "TLS/Key=/lab/desk.key"},
                   sandbox, more));
    const platform::PortTarget target = ResolveComPort(3);
    QCOMPARE(target.kind, platform::PortTarget::Kind::Network);
    QCOMPARE(target.host, QStringLiteral("bench3.lab"));
    QVERIFY(target.tls);
    QCOMPARE(target.tlsFiles.ca, QDir::cleanPath(QDir(base).absoluteFilePath(QStringLiteral("lab/ca.crt"))));
    QCOMPARE(QDir::fromNativeSeparators(target.tlsFiles.certificate).endsWith(QLatin1String("/lab/desk.crt")), true);
}

// Through the real serial control, with real machine-wide values (files, or
// HKEY_LOCAL_MACHINE under Wine): the probe and the reset reach the bench.
void tst_SettingsInForce::aBenchOnlyTheMachineMapsIsReached()
{
    StoreSandbox sandbox;
    QTemporaryDir more;
    ScriptedServer server(ScriptedServer::Script{});
    QVERIFY(server.port() != 0);
    QVERIFY(deploy({QStringLiteral("Ports/COM3=rfc2217://127.0.0.1:%1").arg(server.port())}, sandbox, more));
    // Never the system's own port, whatever goes wrong with the machine's value.
    const platform::PortTarget target = ResolveComPort(3);
    QCOMPARE(target.kind, platform::PortTarget::Kind::Network);
    QCOMPARE(target.host, QStringLiteral("127.0.0.1"));
    const auto control = platform::CreateSerialCommControl(ResolveComPort);
    control->setCommPort(3);
    control->setSettings(QStringLiteral("2400,E,8,2"));
    control->setPortOpen(true);
    QVERIFY(control->portOpen());
    control->setOutput(QByteArray("\xC0"));
    QTRY_COMPARE(control->inBufferCount(), qint16(1));
    control->setOutput(QByteArray("\x80"));
    QTRY_COMPARE(ScriptedServer::Split(server.received()).data, QByteArray("\xC0\x80"));
}

QTEST_GUILESS_MAIN(tst_SettingsInForce)
#include "tst_settings_in_force.moc"
