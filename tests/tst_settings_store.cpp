#include "app_settings/settings_keys.h"
#include "platform/settings/settings_store.h"
#include "tests/support/store_sandbox.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <algorithm>
#include <functional>
#include <memory>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

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

struct ToolRun
{
    bool finished = false;
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

// Runs the settings tool (or the copy at program) to its end; inChild runs in
// the child before the tool starts (so it may only make system calls).
ToolRun runTool(const QStringList &arguments, const std::function<void()> &inChild = {},
                const QString &program = QStringLiteral(VELMORA_SETTINGS_TOOL))
{
    QProcess process;
    if (inChild)
        process.setChildProcessModifier(inChild);
    process.start(program, arguments);
    ToolRun run;
    run.finished = process.waitForFinished(10000);
    if (!run.finished) {
        process.kill();
        process.waitForFinished(5000);
    }
    run.exitCode = process.exitCode();
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    return run;
}

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

struct stat statOf(const QString &path)
{
    struct stat info = {};
    ::lstat(QFile::encodeName(path).constData(), &info);
    return info;
}

mode_t permissionsOf(const QString &path)
{
    return statOf(path).st_mode & 07777;
}

// The copies of damaged files beside the store, by name.
QStringList backupsOf(const QString &iniFile)
{
    const QFileInfo info(iniFile);
    return QDir(info.absolutePath())
        .entryList({info.fileName() + QStringLiteral(".damaged*")}, QDir::AllEntries | QDir::System | QDir::Hidden,
                   QDir::Name);
}

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

// True when some process holds the lock beside the store.
bool lockIsHeld(const QString &iniFile)
{
    const int fd = ::open(QFile::encodeName(iniFile + QStringLiteral(".lock")).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    return held;
}

// Waits until the process has stopped on SIGSTOP, from its state in /proc.
bool waitUntilStopped(qint64 pid)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 5000) {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly))
            return false;
        const QByteArray line = stat.readAll();
        const qsizetype afterName = line.lastIndexOf(')');
        if (afterName > 0 && afterName + 2 < line.size()
            && (line[afterName + 2] == 'T' || line[afterName + 2] == 't'))
            return true;
        QThread::usleep(200);
    }
    return false;
}

// Starts the store writer of the tests: key written count times (0: until killed).
std::unique_ptr<QProcess> startWriter(const QString &section, const QString &key, int count)
{
    auto writer = std::make_unique<QProcess>();
    writer->start(QStringLiteral(STORE_WRITER),
                  {settings_keys::Application, section, key, QString::number(count)});
    return writer;
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
    void writeLeavesOnlyTheStoreAndItsLock_data();
    void writeLeavesOnlyTheStoreAndItsLock();
    void handEditedFileIsRead_data();
    void handEditedFileIsRead();
    void damagedFileReadsDefaultsAndCanBeRewritten_data();
    void damagedFileReadsDefaultsAndCanBeRewritten();
    void eachDamageKeepsItsOwnOwnerOnlyBackup();
    void damagedFileStaysWhenItsBackupCannotBeMade();
    void oversizedFileIsDamaged_data();
    void oversizedFileIsDamaged();
    void hugeFileIsNotReadIntoMemory();
    void unwritableStoreReportsFailure();
    void unreadableStoreIsLeftAsItIs_data();
    void unreadableStoreIsLeftAsItIs();
    void valuesThatCannotBeKeptAreRefused_data();
    void valuesThatCannotBeKeptAreRefused();
    void namesThatCannotBeKeptAreRefused_data();
    void namesThatCannotBeKeptAreRefused();
    void namesWithinTheRulesAreKept_data();
    void namesWithinTheRulesAreKept();
    void toolSaysWhyItRefuses_data();
    void toolSaysWhyItRefuses();
    void valueWrittenByAnotherProcessIsSeenAtNextRead();
    void concurrentWritersLoseNoKeyAndReadersNeverSeeHalfAFile();
    void sixBusyWritersAreNeitherRefusedNorKeptWaiting();
    void lockFileLeftByADeadWriterBlocksNobody();
    void writerKilledWhileHoldingTheLockBlocksNobody();
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

void tst_SettingsStore::writeLeavesOnlyTheStoreAndItsLock_data()
{
    QTest::addColumn<bool>("staleTemporary"); // what a writer killed half-way leaves
    QTest::addColumn<bool>("storeIsLink");    // to a file in another folder
    QTest::newRow("a plain store") << false << false;
    QTest::newRow("a dead writer's half-written file") << true << false;
    QTest::newRow("a store that is a symbolic link") << false << true;
    QTest::newRow("a link, and a dead writer's file beside its target") << true << true;
}

void tst_SettingsStore::writeLeavesOnlyTheStoreAndItsLock()
{
    QFETCH(bool, staleTemporary);
    QFETCH(bool, storeIsLink);
    StoreSandbox sandbox;
    QTemporaryDir elsewhere;
    const QString store = sandbox.iniFile(App);
    QString file = store;
    if (storeIsLink) {
        file = elsewhere.filePath(QStringLiteral("kept-here.ini"));
        writeFile(file, "[General]\nCommPort=3\n");
        QVERIFY(QFile::link(file, store));
    }
    if (staleTemporary) {
        writeFile(file + QStringLiteral(".new"), "[General]\nPassword=half");
        QFile::setPermissions(file + QStringLiteral(".new"), QFileDevice::Permissions(0x6644));
    }

    for (int round = 0; round < 3; ++round)
        QVERIFY(SettingsStore::write(App, QStringLiteral("General"), QStringLiteral("Password"),
                                     QStringLiteral("Q%1").arg(round)));

    QCOMPARE(SettingsStore::read(App, QStringLiteral("General"), QStringLiteral("Password"), QString()),
             QStringLiteral("Q2"));
    const QStringList storeFolder = QDir(sandbox.configDir()).entryList(QDir::Files | QDir::System);
    QCOMPARE(storeFolder, (QStringList{App + QStringLiteral(".ini"), App + QStringLiteral(".ini.lock")}));
    if (storeIsLink) {
        QVERIFY(QFileInfo(store).isSymLink());
        QCOMPARE(QDir(elsewhere.path()).entryList(QDir::Files), QStringList{QStringLiteral("kept-here.ini")});
        if (!staleTemporary) // the value there before is kept
            QCOMPARE(SettingsStore::read(App, QStringLiteral("General"), QStringLiteral("CommPort"), QString()),
                     QStringLiteral("3"));
    }
    QCOMPARE(QFileInfo(file).permissions() & (QFileDevice::ReadOther | QFileDevice::ReadGroup),
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

void tst_SettingsStore::eachDamageKeepsItsOwnOwnerOnlyBackup()
{
    StoreSandbox sandbox;
    const QString ini = sandbox.iniFile(App);
    const QList<QByteArray> damages = {QByteArray("[General]\nPassword=first\n\0", 26),
                                       QByteArray("[General]\nPassword=second\n\xff"),
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

void tst_SettingsStore::damagedFileStaysWhenItsBackupCannotBeMade()
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

void tst_SettingsStore::oversizedFileIsDamaged_data()
{
    QTest::addColumn<qsizetype>("size");
    QTest::addColumn<bool>("damaged");
    QTest::newRow("1 MiB exactly") << qsizetype(1024 * 1024) << false;
    QTest::newRow("one byte more") << qsizetype(1024 * 1024 + 1) << true;
}

void tst_SettingsStore::oversizedFileIsDamaged()
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

void tst_SettingsStore::hugeFileIsNotReadIntoMemory()
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
}

void tst_SettingsStore::unreadableStoreIsLeftAsItIs_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("file with write permission only") << "write-only";
    QTest::newRow("folder in its place") << "folder";
    QTest::newRow("named pipe in its place") << "pipe";
}

void tst_SettingsStore::unreadableStoreIsLeftAsItIs()
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

void tst_SettingsStore::namesThatCannotBeKeptAreRefused_data()
{
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    const QString general = QStringLiteral("General");
    QTest::newRow("empty key") << general << "";
    QTest::newRow("equals sign in the key") << general << "K=1";
    QTest::newRow("line feed in the key") << general << "K\nPassword=x";
    QTest::newRow("carriage return in the key") << general << "K\rX";
    QTest::newRow("NUL in the key") << general << QString(QStringLiteral("K\0X"));
    QTest::newRow("opening bracket in the key") << general << "[K";
    QTest::newRow("closing bracket in the key") << general << "K]";
    QTest::newRow("key starting with a semicolon") << general << ";K";
    QTest::newRow("key starting with a hash") << general << "#K";
    QTest::newRow("blank before the key") << general << " K";
    QTest::newRow("tab after the key") << general << "K\t";
    QTest::newRow("empty section") << "" << "K";
    QTest::newRow("closing bracket in the section") << "Gen]eral" << "K";
    QTest::newRow("line feed in the section") << "General]\n[Other" << "K";
    QTest::newRow("section starting with a hash") << "#General" << "K";
    QTest::newRow("blank after the section") << "General " << "K";
}

void tst_SettingsStore::namesThatCannotBeKeptAreRefused()
{
    QFETCH(QString, section);
    QFETCH(QString, key);
    StoreSandbox sandbox;
    const QByteArray before("[General]\nCommPort=2\nK=0\n");
    writeFile(sandbox.iniFile(App), before);
    QVERIFY(!SettingsStore::write(App, section, key, QStringLiteral("1")));
    QVERIFY(!SettingsStore::remove(App, section, key));
    QCOMPARE(SettingsStore::read(App, section, key, QStringLiteral("-1")), QStringLiteral("-1"));
    QCOMPARE(fileText(sandbox.iniFile(App)), before);
}

void tst_SettingsStore::namesWithinTheRulesAreKept_data()
{
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::newRow("blanks inside") << "Bench Ports" << "COM 1";
    QTest::newRow("semicolon and hash inside") << "a;b" << "c#d";
    QTest::newRow("letters beyond ASCII") << "Schnittstellen" << "Größe";
}

void tst_SettingsStore::namesWithinTheRulesAreKept()
{
    QFETCH(QString, section);
    QFETCH(QString, key);
    StoreSandbox sandbox;
    QVERIFY(SettingsStore::write(App, section, key, QStringLiteral("v")));
    QCOMPARE(SettingsStore::read(App, section, key, {}), QStringLiteral("v"));
    QCOMPARE(fileText(sandbox.iniFile(App)), (QLatin1Char('[') + section + "]\n" + key + "=v\n").toUtf8());
}

void tst_SettingsStore::toolSaysWhyItRefuses_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("reason");
    QTest::newRow("set, equals sign in the key")
        << QStringList{"set", "General", "K=1", "v"} << SettingsStore::nameFault(QStringLiteral("K=1"));
    QTest::newRow("set, line break in the section")
        << QStringList{"set", "Ports\n", "COM1", "v"} << SettingsStore::nameFault(QStringLiteral("Ports\n"));
    QTest::newRow("set, blank after the value")
        << QStringList{"set", "General", "CommPort", "2 "} << SettingsStore::valueFault(QStringLiteral("2 "));
    QTest::newRow("get, comment sign before the key")
        << QStringList{"get", "General", "#Password"} << SettingsStore::nameFault(QStringLiteral("#Password"));
}

void tst_SettingsStore::toolSaysWhyItRefuses()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, reason);
    QVERIFY(!reason.isEmpty());
    StoreSandbox sandbox;
    const ToolRun run = runTool(arguments);
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(run.out, QByteArray());
    QVERIFY2(QString::fromUtf8(run.err).contains(reason), run.err.constData());
    QVERIFY(!QFileInfo::exists(sandbox.iniFile(settings_keys::Application)));
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

void tst_SettingsStore::sixBusyWritersAreNeitherRefusedNorKeptWaiting()
{
    StoreSandbox sandbox;
    constexpr int Writers = 6;
    constexpr int WritesEach = 200;
    std::vector<std::unique_ptr<QProcess>> writers;
    for (int w = 0; w < Writers; ++w)
        writers.push_back(startWriter(QStringLiteral("Writers"), QStringLiteral("W%1").arg(w), WritesEach));

    std::vector<qint64> micros;
    int refused = 0;
    for (auto &writer : writers) {
        QVERIFY(writer->waitForFinished(100000));
        const QList<QByteArray> lines = writer->readAllStandardOutput().split('\n');
        for (const QByteArray &line : lines) {
            if (line == "refused")
                ++refused;
            else if (!line.isEmpty())
                micros.push_back(line.toLongLong());
        }
    }
    std::sort(micros.begin(), micros.end());
    const auto percentile = [&micros](double p) {
        return micros.empty() ? qint64(-1) : micros[std::size_t(p * double(micros.size() - 1))];
    };
    qInfo("%d writers x %d writes: %d refused, per write p50 %.1f ms, p99 %.1f ms, max %.1f ms", Writers,
          WritesEach, refused, percentile(0.5) / 1000.0, percentile(0.99) / 1000.0, percentile(1.0) / 1000.0);
    QCOMPARE(refused, 0);
    QCOMPARE(micros.size(), std::size_t(Writers * WritesEach));
    for (int w = 0; w < Writers; ++w) {
        QCOMPARE(SettingsStore::read(settings_keys::Application, QStringLiteral("Writers"),
                                     QStringLiteral("W%1").arg(w), {}),
                 QString::number(WritesEach - 1));
    }
    // The aim is 200 ms; the bound leaves room for a machine that is busy with
    // other work while the tests run.
    QVERIFY2(percentile(0.99) < 400 * 1000, "p99 of the write time too long");
}

void tst_SettingsStore::lockFileLeftByADeadWriterBlocksNobody()
{
    // A writer killed at any moment may leave an empty lock file behind.
    StoreSandbox sandbox;
    writeFile(sandbox.iniFile(App) + QStringLiteral(".lock"), QByteArray());
    QElapsedTimer timer;
    timer.start();
    QVERIFY(SettingsStore::write(App, QStringLiteral("General"), QStringLiteral("CommPort"), QStringLiteral("4")));
    QVERIFY2(timer.elapsed() < 250, qPrintable(QStringLiteral("took %1 ms").arg(timer.elapsed())));
}

void tst_SettingsStore::writerKilledWhileHoldingTheLockBlocksNobody()
{
    StoreSandbox sandbox;
    const QString &app = settings_keys::Application;
    const QString ini = sandbox.iniFile(app);
    std::unique_ptr<QProcess> writer = startWriter(QStringLiteral("General"), QStringLiteral("Busy"), 0);
    QVERIFY(writer->waitForStarted());
    QTRY_VERIFY(QFileInfo::exists(ini));

    // Stop the writer until it is caught holding the lock.
    const qint64 pid = writer->processId();
    bool caught = false;
    for (int attempt = 0; attempt < 1000 && !caught; ++attempt) {
        QVERIFY(::kill(pid_t(pid), SIGSTOP) == 0);
        QVERIFY(waitUntilStopped(pid));
        caught = lockIsHeld(ini);
        if (!caught) {
            ::kill(pid_t(pid), SIGCONT);
            QThread::usleep(300 + 97 * (attempt % 11));
        }
    }
    QVERIFY2(caught, "the writer was never caught holding the lock");

    // While it holds the lock a write waits, but not long enough to freeze a window.
    QElapsedTimer timer;
    timer.start();
    QVERIFY(!SettingsStore::write(app, QStringLiteral("General"), QStringLiteral("CommPort"), QStringLiteral("6")));
    QVERIFY2(timer.elapsed() < 1000, qPrintable(QStringLiteral("waited %1 ms").arg(timer.elapsed())));

    writer->kill();
    QVERIFY(writer->waitForFinished(5000));
    timer.restart();
    QVERIFY(SettingsStore::write(app, QStringLiteral("General"), QStringLiteral("CommPort"), QStringLiteral("6")));
    QVERIFY2(timer.elapsed() < 250, qPrintable(QStringLiteral("took %1 ms").arg(timer.elapsed())));
    QCOMPARE(SettingsStore::read(app, QStringLiteral("General"), QStringLiteral("CommPort"), {}),
             QStringLiteral("6"));
    bool isNumber = false;
    SettingsStore::read(app, QStringLiteral("General"), QStringLiteral("Busy"), {}).toLongLong(&isNumber);
    QVERIFY(isNumber);
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

    // What cannot be read may hold the key: that is no success, and it stays.
    QVERIFY(QFile::remove(sandbox.iniFile(App)));
    QVERIFY(QDir().mkpath(sandbox.iniFile(App)));
    QVERIFY(!SettingsStore::remove(App, QStringLiteral("Ports"), QStringLiteral("COM1")));
    QVERIFY(QFileInfo(sandbox.iniFile(App)).isDir());
}

QTEST_GUILESS_MAIN(tst_SettingsStore)
#include "tst_settings_store.moc"
