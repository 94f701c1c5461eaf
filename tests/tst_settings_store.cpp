#include "platform/settings_keys.h"
#include "platform/settings_store.h"
#include "store_sandbox.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QtTest>

using platform::SettingsStore;

namespace {

const QString App = QStringLiteral("StoreTestApp");

QByteArray fileText(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

// Runs the settings tool as a second process.
QProcess *startTool(const QStringList &arguments)
{
    auto *process = new QProcess;
    process->start(QStringLiteral(VELMORA_SETTINGS_TOOL), arguments);
    return process;
}

} // namespace

class tst_SettingsStore : public QObject
{
    Q_OBJECT

private slots:
    void missingStoreReadsDefault_data();
    void missingStoreReadsDefault();
    void writeThenReadGivesValueInNamedSection();
    void fileIsOwnerOnly();
    void writeKeepsOtherKeysAndHandWrittenLines();
    void handEditedFileIsRead_data();
    void handEditedFileIsRead();
    void damagedFileReadsDefaultsAndCanBeRewritten_data();
    void damagedFileReadsDefaultsAndCanBeRewritten();
    void unwritableStoreReportsFailure();
    void valuesThatCannotBeKeptAreRefused_data();
    void valuesThatCannotBeKeptAreRefused();
    void valueWrittenByAnotherProcessIsSeenAtNextRead();
    void concurrentWritersLoseNoKeyAndReadersNeverSeeHalfAFile();
    void removeDropsTheKeyAndKeepsTheRest_data();
    void removeDropsTheKeyAndKeepsTheRest();
    void removeAfterWriteGivesBackTheFileAsItWas();
    void removeWithNothingReadableTouchesNothing();
};

void tst_SettingsStore::missingStoreReadsDefault_data()
{
    QTest::addColumn<QString>("layout");
    QTest::newRow("no folder") << "none";
    QTest::newRow("folder but no file") << "folder";
    QTest::newRow("file without the section") << "other-section";
    QTest::newRow("section without the key") << "other-key";
}

void tst_SettingsStore::missingStoreReadsDefault()
{
    QFETCH(QString, layout);
    StoreSandbox sandbox;
    if (layout == QLatin1String("none"))
        qputenv("XDG_CONFIG_HOME", (sandbox.configDir() + QStringLiteral("/not/there")).toLocal8Bit());
    else if (layout == QLatin1String("other-section"))
        writeFile(sandbox.iniFile(App), "[Ports]\nCommPort=4\n");
    else if (layout == QLatin1String("other-key"))
        writeFile(sandbox.iniFile(App), "[General]\nPassword=A\n");

    QCOMPARE(SettingsStore::read(App, QStringLiteral("General"), QStringLiteral("CommPort"),
                                 QStringLiteral("-1")),
             QStringLiteral("-1"));
}

void tst_SettingsStore::writeThenReadGivesValueInNamedSection()
{
    StoreSandbox sandbox;
    QVERIFY(SettingsStore::write(App, settings_keys::SectionGeneral, settings_keys::CommPort,
                                 QStringLiteral("3")));
    QVERIFY(SettingsStore::write(App, settings_keys::SectionGeneral, settings_keys::Password,
                                 QStringLiteral("A575J141a154z")));
    QCOMPARE(SettingsStore::read(App, settings_keys::SectionGeneral, settings_keys::CommPort, {}),
             QStringLiteral("3"));
    QCOMPARE(SettingsStore::location(App), sandbox.iniFile(App));
    // The file is for people to read and edit too.
    QCOMPARE(fileText(sandbox.iniFile(App)), QByteArray("[General]\nCommPort=3\nPassword=A575J141a154z\n"));
}

void tst_SettingsStore::fileIsOwnerOnly()
{
    StoreSandbox sandbox;
    QVERIFY(SettingsStore::write(App, QStringLiteral("General"), QStringLiteral("Password"),
                                 QStringLiteral("Q")));
    QCOMPARE(QFileInfo(sandbox.iniFile(App)).permissions()
                 & (QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ReadOther
                    | QFileDevice::WriteOther),
             QFileDevice::Permissions());

    // A file that a user created readable for all becomes owner-only at the next write.
    QFile::setPermissions(sandbox.iniFile(App), QFileDevice::Permissions(0x6644));
    QVERIFY(SettingsStore::write(App, QStringLiteral("General"), QStringLiteral("Password"),
                                 QStringLiteral("R")));
    QCOMPARE(QFileInfo(sandbox.iniFile(App)).permissions() & QFileDevice::ReadOther,
             QFileDevice::Permissions());
}

void tst_SettingsStore::writeKeepsOtherKeysAndHandWrittenLines()
{
    StoreSandbox sandbox;
    writeFile(sandbox.iniFile(App),
              "; mapped by the lab technician\n"
              "[Ports]\nCOM1=/dev/ttyUSB0\n\n"
              "[General]\nCommPort=2\nPassword=old\n");
    QVERIFY(SettingsStore::write(App, QStringLiteral("General"), QStringLiteral("Password"),
                                 QStringLiteral("new")));
    QVERIFY(SettingsStore::write(App, QStringLiteral("Ports"), QStringLiteral("COM2"),
                                 QStringLiteral("/dev/ttyACM0")));
    QCOMPARE(fileText(sandbox.iniFile(App)),
             QByteArray("; mapped by the lab technician\n"
                        "[Ports]\nCOM1=/dev/ttyUSB0\nCOM2=/dev/ttyACM0\n\n"
                        "[General]\nCommPort=2\nPassword=new\n"));
}

void tst_SettingsStore::handEditedFileIsRead_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("expected");
    QTest::newRow("blanks around the equals sign") << QByteArray("[General]\n CommPort = 7 \n") << "7";
    QTest::newRow("Windows line ends") << QByteArray("[General]\r\nCommPort=7\r\n") << "7";
    QTest::newRow("other case of section and key") << QByteArray("[general]\ncommport=7\n") << "7";
    QTest::newRow("no line end at the end") << QByteArray("[General]\nCommPort=7") << "7";
    QTest::newRow("commented-out value") << QByteArray("[General]\n;CommPort=5\nCommPort=7\n") << "7";
    QTest::newRow("first of two") << QByteArray("[General]\nCommPort=7\nCommPort=8\n") << "7";
    QTest::newRow("empty value") << QByteArray("[General]\nCommPort=\n") << "";
    QTest::newRow("equals sign in the value") << QByteArray("[General]\nCommPort=a=b\n") << "a=b";
    QTest::newRow("key in another section only") << QByteArray("[Ports]\nCommPort=7\n") << "-1";
}

void tst_SettingsStore::handEditedFileIsRead()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, expected);
    StoreSandbox sandbox;
    writeFile(sandbox.iniFile(App), content);
    QCOMPARE(SettingsStore::read(App, QStringLiteral("General"), QStringLiteral("CommPort"),
                                 QStringLiteral("-1")),
             expected);
}

void tst_SettingsStore::damagedFileReadsDefaultsAndCanBeRewritten_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("NUL bytes") << QByteArray("[General]\nCommPort=3\n\0\0\0", 24);
    QTest::newRow("not UTF-8") << QByteArray("[General]\nCommPort=3\n\xff\xfe\x80");
}

void tst_SettingsStore::damagedFileReadsDefaultsAndCanBeRewritten()
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

void tst_SettingsStore::unwritableStoreReportsFailure()
{
    StoreSandbox sandbox;
    // A regular file where the config folder should be: no folder can be made,
    // which fails for root too.
    const QString blocker = sandbox.configDir() + QStringLiteral("/blocked");
    writeFile(blocker, "not a folder");
    qputenv("XDG_CONFIG_HOME", blocker.toLocal8Bit());
    QVERIFY(!SettingsStore::write(App, QStringLiteral("General"), QStringLiteral("Password"),
                                  QStringLiteral("A")));

    // A folder where the file should be cannot be read: defaults, and no write.
    qputenv("XDG_CONFIG_HOME", sandbox.configDir().toLocal8Bit());
    QVERIFY(QDir().mkpath(sandbox.iniFile(App)));
    QCOMPARE(SettingsStore::read(App, QStringLiteral("General"), QStringLiteral("Password"),
                                 QStringLiteral("-1")),
             QStringLiteral("-1"));
    QVERIFY(!SettingsStore::write(App, QStringLiteral("General"), QStringLiteral("Password"),
                                  QStringLiteral("A")));
}

void tst_SettingsStore::valuesThatCannotBeKeptAreRefused_data()
{
    QTest::addColumn<QString>("value");
    QTest::newRow("line feed") << "a\nb";
    QTest::newRow("carriage return") << "a\rb";
    QTest::newRow("leading blank") << " a";
    QTest::newRow("trailing blank") << "a ";
}

void tst_SettingsStore::valuesThatCannotBeKeptAreRefused()
{
    QFETCH(QString, value);
    StoreSandbox sandbox;
    QVERIFY(SettingsStore::write(App, QStringLiteral("General"), QStringLiteral("CommPort"),
                                 QStringLiteral("2")));
    QVERIFY(!SettingsStore::write(App, QStringLiteral("General"), QStringLiteral("CommPort"), value));
    QCOMPARE(SettingsStore::read(App, QStringLiteral("General"), QStringLiteral("CommPort"), {}),
             QStringLiteral("2"));
}

void tst_SettingsStore::valueWrittenByAnotherProcessIsSeenAtNextRead()
{
    StoreSandbox sandbox;
    QVERIFY(SettingsStore::write(settings_keys::Application, QStringLiteral("General"),
                                 QStringLiteral("Password"), QStringLiteral("first")));
    QCOMPARE(SettingsStore::read(settings_keys::Application, QStringLiteral("General"),
                                 QStringLiteral("Password"), {}),
             QStringLiteral("first"));

    std::unique_ptr<QProcess> tool(startTool({QStringLiteral("set"), QStringLiteral("General"),
                                              QStringLiteral("Password"), QStringLiteral("second")}));
    QVERIFY(tool->waitForFinished(10000));
    QCOMPARE(tool->exitCode(), 0);
    QCOMPARE(SettingsStore::read(settings_keys::Application, QStringLiteral("General"),
                                 QStringLiteral("Password"), {}),
             QStringLiteral("second"));
}

void tst_SettingsStore::concurrentWritersLoseNoKeyAndReadersNeverSeeHalfAFile()
{
    StoreSandbox sandbox;
    const QString &app = settings_keys::Application;
    QVERIFY(SettingsStore::write(app, QStringLiteral("General"), QStringLiteral("Steady"),
                                 QStringLiteral("here")));

    // Another process rewrites its own keys, one process each, while this one
    // writes its key and reads one that nobody changes.
    std::vector<std::unique_ptr<QProcess>> others;
    for (int round = 0; round < 20; ++round) {
        others.emplace_back(startTool({QStringLiteral("set"), QStringLiteral("Ports"),
                                       QStringLiteral("COM%1").arg(round % 4 + 1),
                                       QStringLiteral("/dev/other%1").arg(round)}));
        QVERIFY(SettingsStore::write(app, QStringLiteral("General"), QStringLiteral("CommPort"),
                                     QString::number(round)));
        QCOMPARE(SettingsStore::read(app, QStringLiteral("General"), QStringLiteral("Steady"),
                                     QStringLiteral("lost")),
                 QStringLiteral("here"));
        if (others.size() > 3) {
            QVERIFY(others.front()->waitForFinished(10000));
            QCOMPARE(others.front()->exitCode(), 0);
            others.erase(others.begin());
        }
    }
    for (auto &process : others) {
        QVERIFY(process->waitForFinished(10000));
        QCOMPARE(process->exitCode(), 0);
    }

    QCOMPARE(SettingsStore::read(app, QStringLiteral("General"), QStringLiteral("CommPort"), {}),
             QStringLiteral("19"));
    for (int port = 1; port <= 4; ++port) {
        QVERIFY2(SettingsStore::read(app, QStringLiteral("Ports"), QStringLiteral("COM%1").arg(port), {})
                     .startsWith(QStringLiteral("/dev/other")),
                 qPrintable(QStringLiteral("COM%1 lost").arg(port)));
    }
    QCOMPARE(SettingsStore::read(app, QStringLiteral("General"), QStringLiteral("Steady"), {}),
             QStringLiteral("here"));
}

void tst_SettingsStore::removeDropsTheKeyAndKeepsTheRest_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QByteArray>("after");
    QTest::newRow("one key among others")
        << QByteArray("[Ports]\nCOM1=/dev/a\nCOM2=/dev/b\n\n[General]\nCommPort=2\n")
        << QByteArray("[Ports]\nCOM2=/dev/b\n\n[General]\nCommPort=2\n");
    QTest::newRow("emptied last section goes with the blank line before it")
        << QByteArray("[General]\nCommPort=3\n\n[Ports]\nCOM1=/dev/pts/3\n")
        << QByteArray("[General]\nCommPort=3\n");
    QTest::newRow("emptied middle section goes")
        << QByteArray("[General]\nA=1\n\n[Ports]\nCOM1=x\n\n[Other]\nB=2\n")
        << QByteArray("[General]\nA=1\n\n[Other]\nB=2\n");
    QTest::newRow("section with a comment stays")
        << QByteArray("[Ports]\n; bench 4\nCOM1=x\n") << QByteArray("[Ports]\n; bench 4\n");
    QTest::newRow("every copy, in any case of the names")
        << QByteArray("[Ports]\nCOM1=a\nCOM1=b\n[General]\nA=1\n[ports]\n com1 = c\n")
        << QByteArray("[General]\nA=1\n");
    QTest::newRow("same key in another section stays")
        << QByteArray("[General]\nCOM1=keep\n[Ports]\nCOM1=x\nCOM2=y\n")
        << QByteArray("[General]\nCOM1=keep\n[Ports]\nCOM2=y\n");
    QTest::newRow("commented-out key stays")
        << QByteArray("[Ports]\n;COM1=old\nCOM1=x\n") << QByteArray("[Ports]\n;COM1=old\n");
    QTest::newRow("key not there") << QByteArray("[Ports]\nCOM2=y\n") << QByteArray("[Ports]\nCOM2=y\n");
    QTest::newRow("only key of the file") << QByteArray("[Ports]\nCOM1=x\n") << QByteArray();
}

void tst_SettingsStore::removeDropsTheKeyAndKeepsTheRest()
{
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, after);
    StoreSandbox sandbox;
    writeFile(sandbox.iniFile(App), before);
    QVERIFY(SettingsStore::remove(App, QStringLiteral("Ports"), QStringLiteral("COM1")));
    QCOMPARE(fileText(sandbox.iniFile(App)), after);
    QCOMPARE(SettingsStore::read(App, QStringLiteral("Ports"), QStringLiteral("COM1"),
                                 QStringLiteral("-1")),
             QStringLiteral("-1"));
}

void tst_SettingsStore::removeAfterWriteGivesBackTheFileAsItWas()
{
    // A program that maps a port for a while and then takes the mapping back
    // leaves the user's file exactly as it found it.
    StoreSandbox sandbox;
    const QByteArray original("; hand-made\n[General]\nCommPort=3\nPassword=x\n");
    writeFile(sandbox.iniFile(App), original);
    QVERIFY(SettingsStore::write(App, QStringLiteral("Ports"), QStringLiteral("COM5"),
                                 QStringLiteral("/dev/pts/7")));
    QCOMPARE(SettingsStore::read(App, QStringLiteral("Ports"), QStringLiteral("COM5"), {}),
             QStringLiteral("/dev/pts/7"));
    QVERIFY(SettingsStore::remove(App, QStringLiteral("Ports"), QStringLiteral("COM5")));
    QCOMPARE(fileText(sandbox.iniFile(App)), original);
}

void tst_SettingsStore::removeWithNothingReadableTouchesNothing()
{
    StoreSandbox sandbox;
    QVERIFY(SettingsStore::remove(App, QStringLiteral("Ports"), QStringLiteral("COM1")));
    QVERIFY(!QFileInfo::exists(sandbox.iniFile(App)));

    // A damaged file is kept as it is for a look; its keys read as missing anyway.
    const QByteArray damaged("[Ports]\nCOM1=x\n\xff\xfe");
    writeFile(sandbox.iniFile(App), damaged);
    QVERIFY(SettingsStore::remove(App, QStringLiteral("Ports"), QStringLiteral("COM1")));
    QCOMPARE(fileText(sandbox.iniFile(App)), damaged);
}

QTEST_GUILESS_MAIN(tst_SettingsStore)
#include "tst_settings_store.moc"
