#include "tests/support/serial_server_process.h"

#include "tests/support/child_process.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QStandardPaths>
#include <QTcpServer>

#include <chrono>
#include <thread>

namespace {

const QString PySerialExample = QStringLiteral("/usr/share/doc/python3-serial/examples/rfc2217_server.py");
// Debian's own Python, which has python3-serial; not whichever python3 is first in PATH.
const QString DebianPython = QStringLiteral("/usr/bin/python3");

QString ser2netProgram()
{
    const QString onPath = QStandardPaths::findExecutable(QStringLiteral("ser2net"));
    if (!onPath.isEmpty())
        return onPath;
    return QStandardPaths::findExecutable(QStringLiteral("ser2net"), {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")});
}

// A port that was free a moment ago; the server is told to take it.
quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

} // namespace

SerialServerProcess::SerialServerProcess(Kind kind)
    : m_kind(kind)
{
    m_process.setProcessChannelMode(QProcess::MergedChannels);
}

SerialServerProcess::~SerialServerProcess()
{
    EndChild(m_process);
}

QString SerialServerProcess::Missing(Kind kind)
{
    if (kind == Kind::Ser2net) {
        if (ser2netProgram().isEmpty())
            return QStringLiteral("ser2net is not installed (Debian package ser2net; tools/install-deps.sh installs it)");
        return QString();
    }
    if (!QFile::exists(PySerialExample) || !QFile::exists(DebianPython))
        return QStringLiteral("%1 is not installed (Debian package python3-serial)").arg(PySerialExample);
    return QString();
}

QString SerialServerProcess::Name(Kind kind)
{
    return kind == Kind::Ser2net ? QStringLiteral("ser2net") : QStringLiteral("python3-serial's example server");
}

bool SerialServerProcess::start(const QString &terminal, const QString &preload)
{
    if (!Missing(m_kind).isEmpty() || !m_dir.isValid())
        return false;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (!preload.isEmpty())
        environment.insert(QStringLiteral("LD_PRELOAD"), preload);
    m_process.setProcessEnvironment(environment);

    // A port taken by someone else between the probe and the start: try another.
    for (int attempt = 0; attempt < 3; ++attempt) {
        m_port = freePort();
        if (m_kind == Kind::Ser2net) {
            const QString configPath = m_dir.filePath(QStringLiteral("ser2net.yaml"));
            QFile config(configPath);
            if (!config.open(QIODevice::WriteOnly | QIODevice::Truncate))
                return false;
            config.write(QStringLiteral("connection: &bench\n"
                                        "  accepter: telnet(rfc2217),tcp,127.0.0.1,%1\n"
                                        "  connector: serialdev,%2,2400e82,local\n"
                                        "  options:\n"
                                        "    kickolduser: true\n")
                             .arg(QString::number(m_port), terminal)
                             .toUtf8());
            config.close();
            // -n stays in the foreground, -u takes no lock file in the system's lock folder.
            m_process.start(ser2netProgram(), {QStringLiteral("-n"), QStringLiteral("-u"), QStringLiteral("-c"),
                                               configPath, QStringLiteral("-P"),
                                               m_dir.filePath(QStringLiteral("ser2net.pid"))});
        } else {
            m_process.start(DebianPython, {PySerialExample, QStringLiteral("-p"), QString::number(m_port), terminal});
        }
        if (!m_process.waitForStarted(5000))
            return false;
        const QDeadlineTimer deadline(5000);
        while (!deadline.hasExpired() && m_process.state() == QProcess::Running && !listening())
            m_process.waitForFinished(20);
        if (listening())
            return true;
        m_output += m_process.readAll();
        if (m_process.state() == QProcess::Running) {
            m_process.kill();
            m_process.waitForFinished(3000);
        }
    }
    return false;
}

bool SerialServerProcess::stop()
{
    m_process.terminate();
    return m_process.waitForFinished(5000);
}

void SerialServerProcess::kill()
{
    m_process.kill();
    m_process.waitForFinished(3000);
}

QString SerialServerProcess::url() const
{
    return QStringLiteral("rfc2217://127.0.0.1:%1").arg(m_port);
}

QString SerialServerProcess::output()
{
    m_output += m_process.readAll();
    return QString::fromUtf8(m_output);
}

bool SerialServerProcess::listening() const
{
    // The kernel's table of TCP sockets: local address as hex "0100007F:2B67", state 0A is LISTEN.
    QFile table(QStringLiteral("/proc/net/tcp"));
    if (!table.open(QIODevice::ReadOnly))
        return false;
    const QByteArray port = QByteArray::number(m_port, 16).toUpper().rightJustified(4, '0');
    for (const QByteArray &line : table.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() > 3 && fields[1].endsWith(':' + port) && fields[3] == "0A")
            return true;
    }
    return false;
}
