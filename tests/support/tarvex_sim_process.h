#pragma once

#include <QProcess>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

#include <csignal>
#include <optional>

// tarvex-sim as a child process, its output read as lines. The caller keeps the
// settings store sandboxed for longer than this lives: the simulator maps its
// port there and puts the old value back when it stops.
class TarvexSimProcess
{
public:
    explicit TarvexSimProcess(const QString &program);
    TarvexSimProcess(const TarvexSimProcess &) = delete;
    TarvexSimProcess &operator=(const TarvexSimProcess &) = delete;
    ~TarvexSimProcess();

    // Starts it and waits until it says that the port is mapped and where it
    // leads.
    bool start(const QStringList &arguments);

    // What COM N is mapped to: the simulator's link.
    QString mappedPath() const { return m_mappedPath; }
    // The pseudo-terminal behind the link: "/dev/pts/7".
    QString terminalPath() const { return m_terminalPath; }

    // The next line that matches, skipping those before it; null on timeout or
    // when the simulator has ended.
    QString waitForLine(const QRegularExpression &pattern, int timeoutMs = 5000);
    // Every line printed so far, whether waited for or not.
    QStringList lines();

    // Types a control on its standard input and waits for the line that tells it.
    QString control(const QString &words);
    void signal(int signalNumber);
    // Stops it the way Ctrl-C or a shutdown would; true when it ended normally in time.
    bool stop(int signalNumber = SIGTERM);

    QProcess &process() { return m_process; }

    // "faults=3 mods=none" at the end of an rx or tx line; null for other lines.
    static QString boardState(const QString &line);
    // The monotonic time in microseconds that --timestamps puts before a line.
    static std::optional<qint64> timestampMicros(const QString &line);

private:
    void takeOutput();

    QString m_program;
    QProcess m_process;
    QByteArray m_partial;
    QStringList m_lines;
    qsizetype m_next = 0;
    QString m_mappedPath;
    QString m_terminalPath;
};
