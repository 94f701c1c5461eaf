// One TLS connection through Qt's QSslSocket alone, set up as a desk's is
// (TLS 1.2 or later, the peer checked against a CA file, and a client
// certificate when given), for what the TLS scenario under Wine cannot show
// through Velmora itself:
//   velmora-tls-probe RESULT HOST PORT CA [CERTIFICATE KEY]
// It sends a line, which `openssl s_server -rev` returns reversed, and writes
// one line to RESULT: "connected PROTOCOL" once that reply came back, or
// "failed: " and the socket's error. Under Wine a console program's output
// does not come through a shell redirect, hence the file.
// Exit status 0 when connected, 1 when not, 2 when the arguments or files are unusable.
#include <QCoreApplication>
#include <QFile>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslSocket>
#include <QTextStream>
#include <QTimer>

#include <algorithm>
#include <cstdio>

namespace {

constexpr int TimeoutMs = 10000;
const QByteArray Line = "velmora tls probe\n";

QString protocolName(QSsl::SslProtocol protocol)
{
    switch (protocol) {
    case QSsl::TlsV1_2:
        return QStringLiteral("TLSv1.2");
    case QSsl::TlsV1_3:
        return QStringLiteral("TLSv1.3");
    default:
        return QStringLiteral("protocol %1").arg(int(protocol));
    }
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    if (arguments.size() != 5 && arguments.size() != 7) {
        std::fputs("usage: velmora-tls-probe RESULT HOST PORT CA [CERTIFICATE KEY]\n", stderr);
        return 2;
    }
    QFile result(arguments[1]);
    if (!result.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text))
        return 2;
    QTextStream out(&result);
    auto unusable = [&](const QString &why) {
        out << "unusable: " << why << '\n';
        return 2;
    };

    bool portOk = false;
    const uint port = arguments[3].toUInt(&portOk);
    if (!portOk || port == 0 || port > 65535)
        return unusable(arguments[3] + QStringLiteral(" is no port number"));

    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setProtocol(QSsl::TlsV1_2OrLater);
    configuration.setPeerVerifyMode(QSslSocket::VerifyPeer);
    const QList<QSslCertificate> cas = QSslCertificate::fromPath(arguments[4], QSsl::Pem);
    if (cas.isEmpty())
        return unusable(QStringLiteral("no certificate in ") + arguments[4]);
    configuration.setCaCertificates(cas);
    if (arguments.size() == 7) {
        const QList<QSslCertificate> chain = QSslCertificate::fromPath(arguments[5], QSsl::Pem);
        QFile keyFile(arguments[6]);
        if (chain.isEmpty() || !keyFile.open(QIODevice::ReadOnly))
            return unusable(QStringLiteral("cannot read ") + arguments[5] + QStringLiteral(" or ") + arguments[6]);
        const QSslKey key(keyFile.readAll(), QSsl::Rsa, QSsl::Pem, QSsl::PrivateKey);
        if (key.isNull())
            return unusable(QStringLiteral("no RSA key in ") + arguments[6]);
        configuration.setLocalCertificateChain(chain);
        configuration.setPrivateKey(key);
    }

    QSslSocket socket;
    socket.setSslConfiguration(configuration);
    QByteArray expected = Line.chopped(1);
    std::reverse(expected.begin(), expected.end());
    QByteArray received;
    QString failure;
    bool done = false;
    // The first outcome counts: a close after the reply is no failure.
    auto finish = [&](int status, const QString &why) {
        if (done)
            return;
        done = true;
        failure = why;
        app.exit(status);
    };
    QObject::connect(&socket, &QSslSocket::encrypted, &app, [&] { socket.write(Line); });
    QObject::connect(&socket, &QSslSocket::readyRead, &app, [&] {
        received += socket.readAll();
        if (received.contains(expected))
            finish(0, QString());
    });
    QObject::connect(&socket, &QSslSocket::errorOccurred, &app, [&] { finish(1, socket.errorString()); });
    QTimer::singleShot(TimeoutMs, &app,
                       [&] { finish(1, QStringLiteral("no reply within %1 s").arg(TimeoutMs / 1000)); });
    socket.connectToHostEncrypted(arguments[2], quint16(port));
    const int status = app.exec();
    if (status == 0)
        out << "connected " << protocolName(socket.sessionProtocol()) << '\n';
    else
        out << "failed: " << failure << '\n';
    return status;
}
