#include "tests/support/tarvex_sim_process.h"

#include "tests/support/child_process.h"

#include <QElapsedTimer>

#include <sys/types.h>

TarvexSimProcess::TarvexSimProcess(const QString &program)
    : m_program(program)
{}

TarvexSimProcess::~TarvexSimProcess()
{
    EndChild(m_process);
}

bool TarvexSimProcess::start(const QStringList &arguments)
{
    m_process.start(m_program, arguments);
    if (!m_process.waitForStarted(5000))
        return false;
    // "tarvex-sim: COM1 = <link>, mapped in <store>", then
    // "tarvex-sim: <link> leads to /dev/pts/7; its lines are published in <folder>".
    static const QRegularExpression mapped(QStringLiteral("^tarvex-sim: COM\\d+ = (.+), mapped in "));
    const QRegularExpressionMatch link = mapped.match(waitForLine(mapped));
    if (!link.hasMatch())
        return false;
    m_mappedPath = link.captured(1);
    const QRegularExpression leads(QStringLiteral("^tarvex-sim: ") + QRegularExpression::escape(m_mappedPath)
                                   + QStringLiteral(" leads to (\\S+); "));
    m_terminalPath = leads.match(waitForLine(leads)).captured(1);
    return !m_terminalPath.isEmpty();
}

QString TarvexSimProcess::waitForLine(const QRegularExpression &pattern, int timeoutMs)
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

QStringList TarvexSimProcess::lines()
{
    while (m_process.waitForReadyRead(0)) {
    }
    takeOutput();
    return m_lines;
}

QString TarvexSimProcess::control(const QString &words)
{
    m_process.write((words + QLatin1Char('\n')).toUtf8());
    m_process.waitForBytesWritten(1000);
    return waitForLine(QRegularExpression(QLatin1Char('^') + QRegularExpression::escape(words) + QLatin1Char(':')));
}

void TarvexSimProcess::signal(int signalNumber)
{
    ::kill(pid_t(m_process.processId()), signalNumber);
}

bool TarvexSimProcess::stop(int signalNumber)
{
    signal(signalNumber);
    if (!m_process.waitForFinished(5000))
        return false;
    takeOutput();
    return m_process.exitStatus() == QProcess::NormalExit;
}

QString TarvexSimProcess::boardState(const QString &line)
{
    static const QRegularExpression stateAtEnd(QStringLiteral("\\| (faults=\\S+ mods=\\S+)$"));
    return stateAtEnd.match(line).captured(1);
}

std::optional<qint64> TarvexSimProcess::timestampMicros(const QString &line)
{
    static const QRegularExpression stamp(QStringLiteral("^(\\d+)\\.(\\d{6}) "));
    const QRegularExpressionMatch match = stamp.match(line);
    if (!match.hasMatch())
        return std::nullopt;
    return match.captured(1).toLongLong() * 1000000 + match.captured(2).toLongLong();
}

void TarvexSimProcess::takeOutput()
{
    m_partial += m_process.readAllStandardOutput();
    qsizetype end = 0;
    while ((end = m_partial.indexOf('\n')) >= 0) {
        m_lines.append(QString::fromUtf8(m_partial.left(end)));
        m_partial.remove(0, end + 1);
    }
}
