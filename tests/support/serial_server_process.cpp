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

QString labCertsScript()
{
#ifdef VELMORA_LAB_CERTS
    return QStringLiteral(VELMORA_LAB_CERTS);
#else
    return QString();
#endif
}

const QString BenchAddress = QStringLiteral("127.0.0.1");

// The name or address the bench's certificate is made for.
QString benchName(SerialServerProcess::TlsOptions::BenchCertificate bench)
{
    return bench == SerialServerProcess::TlsOptions::BenchCertificate::OtherName ? QStringLiteral("bench9.lab")
                                                                                 : BenchAddress;
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
    : SerialServerProcess(kind, TlsOptions())
{}

SerialServerProcess::SerialServerProcess(Kind kind, TlsOptions tls)
    : m_kind(kind)
    , m_tls(tls)
{
    m_process.setProcessChannelMode(QProcess::MergedChannels);
}

SerialServerProcess::~SerialServerProcess()
{
    EndChild(m_process);
}

QString SerialServerProcess::Missing(Kind kind)
{
    if (kind == Kind::Ser2net || kind == Kind::Ser2netTls) {
        if (ser2netProgram().isEmpty())
            return QStringLiteral("ser2net is not installed (Debian package ser2net; tools/install-deps.sh installs it)");
        if (kind == Kind::Ser2net)
            return QString();
        if (QStandardPaths::findExecutable(QStringLiteral("openssl")).isEmpty())
            return QStringLiteral("openssl is not installed (Debian package openssl; tools/install-deps.sh installs it)");
        if (QStandardPaths::findExecutable(QStringLiteral("bash")).isEmpty())
            return QStringLiteral("bash is not installed");
        if (labCertsScript().isEmpty() || !QFile::exists(labCertsScript()))
            return QStringLiteral("tools/lab-certs.sh is not where the build said (VELMORA_LAB_CERTS)");
        return QString();
    }
    if (!QFile::exists(PySerialExample) || !QFile::exists(DebianPython))
        return QStringLiteral("%1 is not installed (Debian package python3-serial)").arg(PySerialExample);
    return QString();
}

QString SerialServerProcess::Name(Kind kind)
{
    switch (kind) {
    case Kind::Ser2net:
        return QStringLiteral("ser2net");
    case Kind::Ser2netTls:
        return QStringLiteral("ser2net over TLS");
    case Kind::PySerialExample:
        break;
    }
    return QStringLiteral("python3-serial's example server");
}

bool SerialServerProcess::RunLabCerts(const QStringList &arguments, QByteArray *output)
{
    QProcess script;
    script.start(QStringLiteral("bash"), QStringList{labCertsScript()} + arguments);
    const bool ran = script.waitForFinished(30000) && script.exitStatus() == QProcess::NormalExit
                     && script.exitCode() == 0;
    if (output)
        *output = script.readAllStandardOutput();
    if (!ran)
        qWarning("lab-certs.sh %s failed: %s", qPrintable(arguments.join(u' ')),
                 script.readAllStandardError().constData());
    return ran;
}

QString SerialServerProcess::labDir() const
{
    return m_tls.lab.isEmpty() ? m_dir.filePath(QStringLiteral("lab")) : m_tls.lab;
}

QString SerialServerProcess::caCertificatePath() const
{
    return labDir() + QStringLiteral("/ca.crt");
}

QString SerialServerProcess::deskCertificatePath() const
{
    return labDir() + u'/' + QLatin1String(DeskName) + QStringLiteral(".crt");
}

QString SerialServerProcess::deskKeyPath() const
{
    return labDir() + u'/' + QLatin1String(DeskName) + QStringLiteral(".key");
}

QString SerialServerProcess::authDir() const
{
    return m_dir.filePath(QStringLiteral("auth"));
}

QString SerialServerProcess::benchDir() const
{
    return m_dir.filePath(QStringLiteral("bench"));
}

bool SerialServerProcess::start(const QString &terminal, const QString &preload)
{
    if (!Missing(m_kind).isEmpty() || !m_dir.isValid())
        return false;
    if (m_kind == Kind::Ser2netTls && !m_certificatesMade) {
        if (!makeCertificates())
            return false;
        m_certificatesMade = true;
    }
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (!preload.isEmpty())
        environment.insert(QStringLiteral("LD_PRELOAD"), preload);
    m_process.setProcessEnvironment(environment);

    // A port taken by someone else between the probe and the start: try another.
    for (int attempt = 0; attempt < 3; ++attempt) {
        m_port = freePort();
        if (m_kind == Kind::PySerialExample) {
            m_process.start(DebianPython, {PySerialExample, QStringLiteral("-p"), QString::number(m_port), terminal});
        } else {
            if (!writeConfig(terminal))
                return false;
            // -n stays in the foreground, -u takes no lock file in the system's lock folder.
            m_process.start(ser2netProgram(), {QStringLiteral("-n"), QStringLiteral("-u"), QStringLiteral("-c"),
                                               m_dir.filePath(QStringLiteral("ser2net.yaml")), QStringLiteral("-P"),
                                               m_dir.filePath(QStringLiteral("ser2net.pid"))});
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
    return QStringLiteral("%1://127.0.0.1:%2")
        .arg(m_kind == Kind::Ser2netTls ? QStringLiteral("rfc2217s") : QStringLiteral("rfc2217"))
        .arg(m_port);
}

QString SerialServerProcess::output()
{
    m_output += m_process.readAll();
    return QString::fromUtf8(m_output);
}

bool SerialServerProcess::makeCertificates()
{
    using Bench = TlsOptions::BenchCertificate;
    const QString desk = QLatin1String(DeskName);
    if (m_tls.lab.isEmpty()
        && (!RunLabCerts({QStringLiteral("ca"), labDir()}) || !RunLabCerts({QStringLiteral("desk"), labDir(), desk})))
        return false;
    QString signer = labDir();
    QStringList flags;
    switch (m_tls.bench) {
    case Bench::Good:
    case Bench::OtherName:
        break;
    case Bench::Expired:
        flags << QStringLiteral("--expired");
        break;
    case Bench::NotYetValid:
        flags << QStringLiteral("--not-yet-valid");
        break;
    case Bench::SelfSigned:
        flags << QStringLiteral("--self-signed");
        break;
    case Bench::OtherCa:
        signer = m_dir.filePath(QStringLiteral("other-ca"));
        if (!RunLabCerts({QStringLiteral("ca"), signer}))
            return false;
        break;
    }
    // Made straight into the folder that ser2net reads them from.
    flags << signer << benchName(m_tls.bench) << benchDir();
    return RunLabCerts(QStringList{QStringLiteral("bench")} + flags)
           && RunLabCerts({QStringLiteral("allow"), labDir(), authDir(), desk});
}

bool SerialServerProcess::writeConfig(const QString &terminal)
{
    QByteArray text;
    if (m_kind == Kind::Ser2net) {
        text = QStringLiteral("connection: &bench\n"
                              "  accepter: telnet(rfc2217),tcp,127.0.0.1,%1\n"
                              "  connector: serialdev,%2,2400e82,local\n"
                              "  options:\n"
                              "    kickolduser: true\n")
                   .arg(QString::number(m_port), terminal)
                   .toUtf8();
    } else {
        // The connection as lab-certs.sh prints it for a lab, unchanged.
        const QStringList arguments{QStringLiteral("ser2net"), QStringLiteral("--keydir"), benchDir(),
                                    QStringLiteral("--bind"), BenchAddress, labDir(), benchName(m_tls.bench),
                                    QString::number(m_port), terminal, authDir(), QLatin1String(DeskName)};
        if (!RunLabCerts(arguments, &text))
            return false;
    }
    QFile config(m_dir.filePath(QStringLiteral("ser2net.yaml")));
    return config.open(QIODevice::WriteOnly | QIODevice::Truncate) && config.write(text) == text.size();
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
