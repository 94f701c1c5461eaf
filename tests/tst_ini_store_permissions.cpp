// The INI store's permissions: an owner-only file, a folder that cannot be
// made, and a store its user cannot read, which is left as it is.
#include "app_settings/settings_keys.h"
#include "platform/settings/settings_store.h"
#include "tests/support/ini_store_files.h"
#include "tests/support/store_sandbox.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>
#include <memory>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace ini_store_files;
using platform::SettingsStore;

namespace {

// Root reads every file whatever its mode. To see what a user sees, checks of
// permissions hand the sandbox to "nobody" and run the tool as that user.
struct PlainUser
{
    bool switchTo = false;
    uid_t uid = 0;
    gid_t gid = 0;
    // The build folder may sit where "nobody" cannot go (a clone in root's
    // home, mode 0700), so that user runs a copy of the tool from a folder
    // open to all. Empty when the copy could not be made.
    QString tool = QStringLiteral(VELMORA_SETTINGS_TOOL);
    std::shared_ptr<QTemporaryDir> toolDir;

    static PlainUser forThisTest()
    {
        PlainUser user;
        if (::geteuid() != 0)
            return user;
        const passwd *nobody = ::getpwnam("nobody");
        if (!nobody)
            return user;
        user.switchTo = true;
        user.uid = nobody->pw_uid;
        user.gid = nobody->pw_gid;
        user.toolDir = std::make_shared<QTemporaryDir>();
        const QString copy = user.toolDir->filePath(QFileInfo(user.tool).fileName());
        const auto openToAll = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
            | QFileDevice::ReadGroup | QFileDevice::ExeGroup | QFileDevice::ReadOther | QFileDevice::ExeOther;
        const bool copied = user.toolDir->isValid() && QFile::setPermissions(user.toolDir->path(), openToAll)
            && QFile::copy(user.tool, copy) && QFile::setPermissions(copy, openToAll);
        user.tool = copied ? copy : QString();
        return user;
    }

    ToolRun run(const QStringList &arguments) const { return runTool(arguments, inChild(), tool); }

    bool canReadProtectedFiles() const { return ::geteuid() == 0 && !switchTo; }

    void takeOver(const QString &directory) const
    {
        if (!switchTo)
            return;
        QVERIFY(::lchown(QFile::encodeName(directory).constData(), uid, gid) == 0);
        const QStringList entries = QDir(directory).entryList(QDir::AllEntries | QDir::System | QDir::Hidden
                                                              | QDir::NoDotAndDotDot);
        for (const QString &entry : entries) {
            const QByteArray name = QFile::encodeName(directory + QLatin1Char('/') + entry);
            QVERIFY(::lchown(name.constData(), uid, gid) == 0);
        }
    }

    std::function<void()> inChild() const
    {
        if (!switchTo)
            return {};
        const uid_t u = uid;
        const gid_t g = gid;
        return [u, g] {
            if (::setgroups(0, nullptr) != 0 || ::setgid(g) != 0 || ::setuid(u) != 0)
                ::_exit(120);
        };
    }
};

} // namespace

class tst_IniStorePermissions : public QObject
{
    Q_OBJECT

private slots:
    void fileIsOwnerOnly();
    void unwritableStoreReportsFailure();
    void unreadableStoreIsLeftAsItIs_data();
    void unreadableStoreIsLeftAsItIs();
};

void tst_IniStorePermissions::fileIsOwnerOnly()
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

void tst_IniStorePermissions::unwritableStoreReportsFailure()
{
    StoreSandbox sandbox;
    // A regular file where the config folder should be: no folder can be made,
    // which fails for root too.
    const QString blocker = sandbox.configDir() + QStringLiteral("/blocked");
    writeFile(blocker, "not a folder");
    qputenv("XDG_CONFIG_HOME", blocker.toLocal8Bit());
    QVERIFY(!SettingsStore::write(App, QStringLiteral("General"), QStringLiteral("Password"),
                                  QStringLiteral("A")));
}

void tst_IniStorePermissions::unreadableStoreIsLeftAsItIs_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("file with write permission only") << "write-only";
    QTest::newRow("folder in its place") << "folder";
    QTest::newRow("named pipe in its place") << "pipe";
}

void tst_IniStorePermissions::unreadableStoreIsLeftAsItIs()
{
    // What cannot be read is not known to be damaged: the user may mend the
    // mode and find the password and the ports again, so nothing replaces it.
    QFETCH(QString, kind);
    const PlainUser user = PlainUser::forThisTest();
    if (kind == QLatin1String("write-only") && user.canReadProtectedFiles())
        QSKIP("runs as root, and there is no user \"nobody\" to run the tool as");
    QVERIFY2(!user.tool.isEmpty(), "no copy of the settings tool that \"nobody\" can run");
    StoreSandbox sandbox;
    const QString ini = sandbox.iniFile(settings_keys::Application);
    const QByteArray content("[General]\nPassword=A575J141a154z\n[Ports]\nCOM1=/dev/ttyUSB0\n");
    if (kind == QLatin1String("write-only")) {
        writeFile(ini, content);
        QVERIFY(QFile::setPermissions(ini, QFileDevice::WriteOwner));
    } else if (kind == QLatin1String("folder")) {
        QVERIFY(QDir().mkpath(ini));
    } else {
        QVERIFY(::mkfifo(QFile::encodeName(ini).constData(), 0600) == 0);
    }
    user.takeOver(sandbox.configDir());
    const struct stat before = statOf(ini);

    const ToolRun get = user.run({QStringLiteral("get"), QStringLiteral("General"), QStringLiteral("Password"),
                                  QStringLiteral("-1")});
    QVERIFY(get.finished);
    QCOMPARE(get.out, QByteArray("-1\n"));
    const ToolRun set = user.run({QStringLiteral("set"), QStringLiteral("General"), QStringLiteral("Password"),
                                  QStringLiteral("B")});
    QVERIFY2(set.finished, "the tool hung");
    QCOMPARE(set.exitCode, 1);

    const struct stat after = statOf(ini);
    QCOMPARE(after.st_ino, before.st_ino);
    QCOMPARE(after.st_mode, before.st_mode);
    QCOMPARE(backupsOf(ini), QStringList());
    if (kind == QLatin1String("write-only")) {
        QVERIFY(QFile::setPermissions(ini, QFileDevice::ReadOwner | QFileDevice::WriteOwner));
        QCOMPARE(fileText(ini), content);
    }
}

QTEST_GUILESS_MAIN(tst_IniStorePermissions)
#include "tst_ini_store_permissions.moc"
