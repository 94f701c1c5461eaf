// A damaged INI store: lines that are not UTF-8, which cost only themselves;
// files that are not text at all, which read as empty, and the copies kept
// beside them before a write starts afresh; files too large to be a store; and
// what a removal leaves alone.
#include "app_settings/settings_keys.h"
#include "platform/settings/settings_store.h"
#include "tests/support/ini_store_files.h"
#include "tests/support/store_sandbox.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtTest>

#include <signal.h>
#include <sys/resource.h>

using namespace ini_store_files;
using platform::SettingsStore;

namespace {

// Text that the store could read, of exactly the given size: a section with
// a key, then comment lines.
QByteArray textOfSize(qsizetype size)
{
    QByteArray text("[General]\nCommPort=3\n");
    const QByteArray comment = "; " + QByteArray(61, 'x') + "\n";
    while (size - text.size() >= comment.size())
        text.append(comment);
    if (size > text.size())
        text.append(QByteArray(size - text.size() - 1, ';') + "\n");
    return text;
}

long peakResidentKiB()
{
    rusage usage = {};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

} // namespace

class tst_IniStoreDamage : public QObject
{
    Q_OBJECT

private slots:
    void lineNotUtf8CostsOnlyItself_data();
    void lineNotUtf8CostsOnlyItself();
    void damagedFileReadsDefaultsAndCanBeRewritten_data();
    void damagedFileReadsDefaultsAndCanBeRewritten();
    void eachDamageKeepsItsOwnOwnerOnlyBackup();
    void damagedFileStaysWhenItsBackupCannotBeMade();
    void oversizedFileIsDamaged_data();
    void oversizedFileIsDamaged();
    void hugeFileIsNotReadIntoMemory();
    void removeWithNothingReadableTouchesNothing();
};

void tst_IniStoreDamage::lineNotUtf8CostsOnlyItself_data()
{
    // A file edited in Latin-1: the key asked, then the store after a write of
    // CommPort, the Latin-1 line in its own bytes.
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("reads");
    QTest::addColumn<QByteArray>("written");
    const QString general = QStringLiteral("General");
    const QString password = QStringLiteral("Password");
    const QString ports = QStringLiteral("Ports");
    const QString com1 = QStringLiteral("COM1");
    QTest::newRow("Latin-1 comment above the password")
        << QByteArray("; Passwort f\xfcr Raum 3\n[General]\nPassword=A575J141a154z\n") << general << password
        << "A575J141a154z"
        << QByteArray("; Passwort f\xfcr Raum 3\n[General]\nPassword=A575J141a154z\nCommPort=4\n");
    QTest::newRow("Latin-1 value beside the mapping")
        << QByteArray("[Ports]\nCOM1=/dev/ttyUSB0\nCOM2=/dev/Ger\xe4t\n") << ports << com1 << "/dev/ttyUSB0"
        << QByteArray("[Ports]\nCOM1=/dev/ttyUSB0\nCOM2=/dev/Ger\xe4t\n\n[General]\nCommPort=4\n");
    QTest::newRow("Latin-1 value of the key read")
        << QByteArray("[General]\nPassword=A575J141a154z\xe9\n") << general << password << "-1"
        << QByteArray("[General]\nCommPort=4\nPassword=A575J141a154z\xe9\n");
    QTest::newRow("Latin-1 key beside the password")
        << QByteArray("[General]\nSchl\xfcssel=1\nPassword=A575J141a154z\n") << general << password
        << "A575J141a154z" << QByteArray("[General]\nSchl\xfcssel=1\nPassword=A575J141a154z\nCommPort=4\n");
    QTest::newRow("Latin-1 header over the mapping")
        << QByteArray("[General]\nPassword=P\n[P\xf6rts]\nCOM1=/dev/ttyS3\n") << ports << com1 << "-1"
        << QByteArray("[General]\nPassword=P\nCommPort=4\n[P\xf6rts]\nCOM1=/dev/ttyS3\n");
}

void tst_IniStoreDamage::lineNotUtf8CostsOnlyItself()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(QString, reads);
    QFETCH(QByteArray, written);
    StoreSandbox sandbox;
    const QString ini = sandbox.iniFile(App);
    writeFile(ini, content);
    QCOMPARE(SettingsStore::read(App, section, key, QStringLiteral("-1")), reads);

    QVERIFY(SettingsStore::write(App, QStringLiteral("General"), QStringLiteral("CommPort"), QStringLiteral("4")));
    QCOMPARE(fileText(ini), written);
    QCOMPARE(backupsOf(ini), QStringList());
    QCOMPARE(SettingsStore::read(App, section, key, QStringLiteral("-1")), reads);
}

void tst_IniStoreDamage::damagedFileReadsDefaultsAndCanBeRewritten_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("NUL bytes") << QByteArray("[General]\nCommPort=3\n\0\0\0", 24);
    QTest::newRow("NUL byte on a line that is not UTF-8") << QByteArray("[General]\nCommPort=3\n\xff\0\x80", 24);
}

void tst_IniStoreDamage::damagedFileReadsDefaultsAndCanBeRewritten()
{
    QFETCH(QByteArray, content);
    StoreSandbox sandbox;
    writeFile(sandbox.iniFile(App), content);
    QCOMPARE(SettingsStore::read(App, QStringLiteral("General"), QStringLiteral("CommPort"),
                                 QStringLiteral("-1")),
             QStringLiteral("-1"));

    // A damaged file must not lock anybody out: the next write starts afresh and
    // keeps the old bytes aside.
    QVERIFY(SettingsStore::write(App, QStringLiteral("General"), QStringLiteral("Password"),
                                 QStringLiteral("Zz")));
    QCOMPARE(SettingsStore::read(App, QStringLiteral("General"), QStringLiteral("Password"), {}),
             QStringLiteral("Zz"));
    QCOMPARE(fileText(sandbox.iniFile(App) + QStringLiteral(".damaged")), content);
}

void tst_IniStoreDamage::eachDamageKeepsItsOwnOwnerOnlyBackup()
{
    StoreSandbox sandbox;
    const QString ini = sandbox.iniFile(App);
    const QList<QByteArray> damages = {QByteArray("[General]\nPassword=first\n\0", 26),
                                       QByteArray("[General]\nPassword=second\n\xff\0", 28),
                                       QByteArray("\0third", 6)};
    for (qsizetype i = 0; i < damages.size(); ++i) {
        writeFile(ini, damages[i]);
        QVERIFY(QFile::setPermissions(ini, QFileDevice::Permissions(0x6644)));
        QVERIFY(SettingsStore::write(App, QStringLiteral("General"), QStringLiteral("CommPort"),
                                     QString::number(i)));
    }

    const QString name = QFileInfo(ini).fileName();
    QCOMPARE(backupsOf(ini), QStringList({name + QStringLiteral(".damaged"), name + QStringLiteral(".damaged.1"),
                                          name + QStringLiteral(".damaged.2")}));
    for (qsizetype i = 0; i < damages.size(); ++i) {
        const QString backup = sandbox.configDir() + QLatin1Char('/') + backupsOf(ini)[i];
        QCOMPARE(fileText(backup), damages[i]);
        QCOMPARE(permissionsOf(backup), mode_t(0600));
    }
    QCOMPARE(fileText(ini), QByteArray("[General]\nCommPort=2\n"));
}

void tst_IniStoreDamage::damagedFileStaysWhenItsBackupCannotBeMade()
{
    StoreSandbox sandbox;
    const QString ini = sandbox.iniFile(settings_keys::Application);
    QByteArray damaged("[General]\nPassword=A575J141a154z\n");
    damaged.append(QByteArray(256 * 1024, '\0'));
    writeFile(ini, damaged);

    // Under a file size limit the new store fits but the copy of the damaged
    // one does not.
    const auto smallFilesOnly = [] {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit = {64 * 1024, 64 * 1024};
        ::setrlimit(RLIMIT_FSIZE, &limit);
    };
    const QStringList setPort = {QStringLiteral("set"), QStringLiteral("General"), QStringLiteral("CommPort"),
                                 QStringLiteral("2")};
    const ToolRun refused = runTool(setPort, smallFilesOnly);
    QVERIFY(refused.finished);
    QCOMPARE(refused.exitCode, 1);
    QCOMPARE(fileText(ini), damaged);
    QCOMPARE(backupsOf(ini), QStringList());

    // With room for the copy the same write goes through.
    const ToolRun written = runTool(setPort);
    QCOMPARE(written.exitCode, 0);
    QCOMPARE(fileText(ini + QStringLiteral(".damaged")), damaged);
    QCOMPARE(fileText(ini), QByteArray("[General]\nCommPort=2\n"));
}

void tst_IniStoreDamage::oversizedFileIsDamaged_data()
{
    QTest::addColumn<qsizetype>("size");
    QTest::addColumn<bool>("damaged");
    QTest::newRow("1 MiB exactly") << qsizetype(1024 * 1024) << false;
    QTest::newRow("one byte more") << qsizetype(1024 * 1024 + 1) << true;
}

void tst_IniStoreDamage::oversizedFileIsDamaged()
{
    QFETCH(qsizetype, size);
    QFETCH(bool, damaged);
    StoreSandbox sandbox;
    const QString ini = sandbox.iniFile(App);
    const QByteArray text = textOfSize(size);
    QCOMPARE(text.size(), size);
    writeFile(ini, text);

    QCOMPARE(SettingsStore::read(App, QStringLiteral("General"), QStringLiteral("CommPort"), QStringLiteral("-1")),
             damaged ? QStringLiteral("-1") : QStringLiteral("3"));
    // A damaged file is kept aside and the store starts afresh; a full one
    // refuses a write that would take it past the bound.
    QCOMPARE(SettingsStore::write(App, QStringLiteral("General"), QStringLiteral("Password"), QStringLiteral("P")),
             damaged);
    QCOMPARE(fileText(ini), damaged ? QByteArray("[General]\nPassword=P\n") : text);
    QCOMPARE(fileText(ini + QStringLiteral(".damaged")), damaged ? text : QByteArray());
}

void tst_IniStoreDamage::hugeFileIsNotReadIntoMemory()
{
    StoreSandbox sandbox;
    QFile file(sandbox.iniFile(App));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("[General]\nCommPort=3\n");
    QVERIFY(file.resize(qint64(256) * 1024 * 1024)); // the rest reads as NUL bytes, and takes no disk
    file.close();

    const long before = peakResidentKiB();
    QCOMPARE(SettingsStore::read(App, QStringLiteral("General"), QStringLiteral("CommPort"), QStringLiteral("-1")),
             QStringLiteral("-1"));
    QVERIFY(SettingsStore::remove(App, QStringLiteral("General"), QStringLiteral("CommPort")));
    const long grownKiB = peakResidentKiB() - before;
    QVERIFY2(grownKiB < 16 * 1024, qPrintable(QStringLiteral("grew by %1 KiB").arg(grownKiB)));
}

void tst_IniStoreDamage::removeWithNothingReadableTouchesNothing()
{
    StoreSandbox sandbox;
    QVERIFY(SettingsStore::remove(App, QStringLiteral("Ports"), QStringLiteral("COM1")));
    QVERIFY(!QFileInfo::exists(sandbox.iniFile(App)));

    // A damaged file is kept as it is for a look; its keys read as missing anyway.
    const QByteArray damaged("[Ports]\nCOM1=x\n\xff\0", 17);
    writeFile(sandbox.iniFile(App), damaged);
    QVERIFY(SettingsStore::remove(App, QStringLiteral("Ports"), QStringLiteral("COM1")));
    QCOMPARE(fileText(sandbox.iniFile(App)), damaged);

    // What cannot be read may hold the key: that is no success, and it stays.
    QVERIFY(QFile::remove(sandbox.iniFile(App)));
    QVERIFY(QDir().mkpath(sandbox.iniFile(App)));
    QVERIFY(!SettingsStore::remove(App, QStringLiteral("Ports"), QStringLiteral("COM1")));
    QVERIFY(QFileInfo(sandbox.iniFile(App)).isDir());
}

QTEST_GUILESS_MAIN(tst_IniStoreDamage)
#include "tst_ini_store_damage.moc"
