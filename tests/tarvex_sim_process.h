#pragma once

#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

#include <csignal>
#include <optional>

#include <sys/types.h>

// tarvex-sim as a child process, its output read as lines. The caller keeps the
// settings store sandboxed for longer than this lives: the simulator maps its
// port there and puts the old value back when it stops.
class TarvexSimProcess
{
public:
    explicit TarvexSimProcess(const QString &program)
        : m_program(program)
    {}
    TarvexSimProcess(const TarvexSimProcess &) = delete;
    TarvexSimProcess &operator=(const TarvexSimProcess &) = delete;
    ~TarvexSimProcess()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        // SIGTERM first, so that the port mapping is put back.
        m_process.terminate();
        if (!m_process.waitForFinished(3000)) {
            m_process.kill();
            m_process.waitForFinished(3000);
        }
    }

    // Starts it and waits until it says that the port is mapped.
    bool start(const QStringList &arguments)
    {
        m_process.start(m_program, arguments);
        if (!m_process.waitForStarted(5000))
            return false;
        return !waitForLine(QRegularExpression(QStringLiteral("^tarvex-sim: COM\\d+ = "))).isNull();
    }

    // The next line that matches, skipping those before it; null on timeout or
    // when the simulator has ended.
    QString waitForLine(const QRegularExpression &pattern, int timeoutMs = 5000)
    {
        QElapsedTimer clock;
        clock.start();
        for (;;) {
            // Output read while an event loop ran waits in QProcess's buffer.
            takeOutput();
            while (m_next < m_lines.size()) {
                const QString line = m_lines[m_next++];
                if (pattern.match(line).hasMatch())
                    return line;
            }
            const qint64 left = timeoutMs - clock.elapsed();
            if (left <= 0 || m_process.state() == QProcess::NotRunning)
                return QString();
            m_process.waitForReadyRead(int(left));
        }
    }

    // Every line printed so far, whether waited for or not.
    QStringList lines()
    {
        while (m_process.waitForReadyRead(0)) {
        }
        takeOutput();
        return m_lines;
    }

    // Stops it the way Ctrl-C or a shutdown would; true when it ended normally in time.
    bool stop(int signalNumber = SIGTERM)
    {
        ::kill(pid_t(m_process.processId()), signalNumber);
        if (!m_process.waitForFinished(5000))
            return false;
        takeOutput();
        return m_process.exitStatus() == QProcess::NormalExit;
    }

    QProcess &process() { return m_process; }

    // "faults=3 mods=none" at the end of an rx or tx line; null for other lines.
    static QString boardState(const QString &line)
    {
        static const QRegularExpression stateAtEnd(QStringLiteral("\\| (faults=\\S+ mods=\\S+)$"));
        return stateAtEnd.match(line).captured(1);
    }

    // The monotonic time in microseconds that --timestamps puts before a line.
    static std::optional<qint64> timestampMicros(const QString &line)
    {
        static const QRegularExpression stamp(QStringLiteral("^(\\d+)\\.(\\d{6}) "));
        const QRegularExpressionMatch match = stamp.match(line);
        if (!match.hasMatch())
            return std::nullopt;
        return match.captured(1).toLongLong() * 1000000 + match.captured(2).toLongLong();
    }

private:
    void takeOutput()
    {
        m_partial += m_process.readAllStandardOutput();
        qsizetype end = 0;
        while ((end = m_partial.indexOf('\n')) >= 0) {
            m_lines.append(QString::fromUtf8(m_partial.left(end)));
            m_partial.remove(0, end + 1);
        }
    }

    QString m_program;
    QProcess m_process;
    QByteArray m_partial;
    QStringList m_lines;
    qsizetype m_next = 0;
};
