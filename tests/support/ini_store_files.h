#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QtTest>

#include <functional>

#include <sys/stat.h>

// What the tests of the INI store share: its files as bytes, the settings
// tool as a second process (VELMORA_SETTINGS_TOOL names it), and the copies of
// damaged files.
namespace ini_store_files {

inline const QString App = QStringLiteral("StoreTestApp");

inline QByteArray fileText(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

inline void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

// Runs the settings tool as a second process.
inline QProcess *startTool(const QStringList &arguments)
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
inline ToolRun runTool(const QStringList &arguments, const std::function<void()> &inChild = {},
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

inline struct stat statOf(const QString &path)
{
    struct stat info = {};
    ::lstat(QFile::encodeName(path).constData(), &info);
    return info;
}

inline mode_t permissionsOf(const QString &path)
{
    return statOf(path).st_mode & 07777;
}

// The copies of damaged files beside the store, by name.
inline QStringList backupsOf(const QString &iniFile)
{
    const QFileInfo info(iniFile);
    return QDir(info.absolutePath())
        .entryList({info.fileName() + QStringLiteral(".damaged*")}, QDir::AllEntries | QDir::System | QDir::Hidden,
                   QDir::Name);
}

} // namespace ini_store_files
