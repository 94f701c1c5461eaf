// The INI store read: values where they are and where they are not, a file
// edited by hand, and a value that another process wrote since.
#include "app_settings/settings_keys.h"
#include "platform/settings/settings_store.h"
#include "tests/support/ini_store_files.h"
#include "tests/support/store_sandbox.h"

#include <QProcess>
#include <QtTest>

#include <memory>

using namespace ini_store_files;
using platform::SettingsStore;

class tst_IniStoreReading : public QObject
{
    Q_OBJECT

private slots:
    void missingStoreReadsDefault_data();
    void missingStoreReadsDefault();
    void handEditedFileIsRead_data();
    void handEditedFileIsRead();
    void valueWrittenByAnotherProcessIsSeenAtNextRead();
};

void tst_IniStoreReading::missingStoreReadsDefault_data()
{
    QTest::addColumn<QString>("layout");
    QTest::newRow("no folder") << "none";
    QTest::newRow("folder but no file") << "folder";
    QTest::newRow("file without the section") << "other-section";
    QTest::newRow("section without the key") << "other-key";
}

void tst_IniStoreReading::missingStoreReadsDefault()
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

void tst_IniStoreReading::handEditedFileIsRead_data()
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

void tst_IniStoreReading::handEditedFileIsRead()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, expected);
    StoreSandbox sandbox;
    writeFile(sandbox.iniFile(App), content);
    QCOMPARE(SettingsStore::read(App, QStringLiteral("General"), QStringLiteral("CommPort"),
                                 QStringLiteral("-1")),
             expected);
}

void tst_IniStoreReading::valueWrittenByAnotherProcessIsSeenAtNextRead()
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

QTEST_GUILESS_MAIN(tst_IniStoreReading)
#include "tst_ini_store_reading.moc"
