#include "platform/serial/network/tls_setup.h"

#include "platform/serial/comm_codes.h"
#include "platform/serial/network/network_serial_device.h"
#include "platform/serial/serial_device.h"

#include <QFile>
#include <QFileInfo>
#include <QSslCertificate>
#include <QSslKey>

namespace platform {

namespace {

// A certificate file is a few KiB; a file far larger is no certificate.
constexpr qint64 MostFileBytes = 1024 * 1024;

QByteArray readBounded(const QString &path, const QString &what)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw InvalidPortError(QStringLiteral("%1 %2 cannot be read (%3)").arg(what, path, file.errorString()));
    const QByteArray bytes = file.read(MostFileBytes + 1);
    if (bytes.size() > MostFileBytes)
        throw InvalidPortError(QStringLiteral("%1 %2 is larger than 1 MiB").arg(what, path));
    return bytes;
}

QList<QSslCertificate> certificatesIn(const QString &path, const QString &what)
{
    const QList<QSslCertificate> certificates = QSslCertificate::fromData(readBounded(path, what), QSsl::Pem);
    if (certificates.isEmpty())
        throw InvalidPortError(QStringLiteral("%1 %2 holds no PEM certificate").arg(what, path));
    return certificates;
}

// As ssh does with its keys: a key that others may read is no longer the desk's alone.
void refuseKeyReadableByOthers(const QString &path)
{
#ifndef Q_OS_WIN
    const QFileDevice::Permissions others = QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ExeGroup
        | QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ExeOther;
    if (QFileInfo(path).permissions() & others)
        throw InvalidPortError(QStringLiteral("the desk's key %1 can be read by others (chmod 600 %1)").arg(path));
#else
    Q_UNUSED(path)
#endif
}

QSslKey keyIn(const QString &path)
{
    const QByteArray bytes = readBounded(path, QStringLiteral("the desk's key"));
    refuseKeyReadableByOthers(path);
    for (const QSsl::KeyAlgorithm algorithm : {QSsl::Rsa, QSsl::Ec, QSsl::Dsa}) {
        const QSslKey key(bytes, algorithm, QSsl::Pem, QSsl::PrivateKey);
        if (!key.isNull())
            return key;
    }
    throw InvalidPortError(QStringLiteral("the desk's key %1 holds no PEM private key that is not encrypted").arg(path));
}

bool isTrustError(QSslError::SslError error)
{
    switch (error) {
    case QSslError::UnableToGetIssuerCertificate:
    case QSslError::UnableToGetLocalIssuerCertificate:
    case QSslError::UnableToVerifyFirstCertificate:
    case QSslError::SelfSignedCertificate:
    case QSslError::SelfSignedCertificateInChain:
    case QSslError::CertificateUntrusted:
    case QSslError::CertificateRejected:
    case QSslError::InvalidCaCertificate:
    case QSslError::CertificateSignatureFailed:
    case QSslError::UnableToDecryptCertificateSignature:
    case QSslError::UnableToDecodeIssuerPublicKey:
    case QSslError::PathLengthExceeded:
    case QSslError::InvalidPurpose:
    case QSslError::SubjectIssuerMismatch:
    case QSslError::AuthorityIssuerSerialNumberMismatch:
        return true;
    default:
        return false;
    }
}

bool has(const QList<QSslError> &errors, bool (*test)(QSslError::SslError))
{
    for (const QSslError &error : errors) {
        if (test(error.error()))
            return true;
    }
    return false;
}

// The words of a TLS alert from the other side, as the TLS libraries write them.
bool isAlert(const QString &errorText)
{
    return errorText.contains(QLatin1String("alert"), Qt::CaseInsensitive);
}

QString refusedDesk(const QString &address, bool deskCertificateSet)
{
    if (!deskCertificateSet)
        return QStringLiteral("%1 asks for the desk's certificate, and none is set up ([TLS] Certificate and Key)")
            .arg(address);
    return QStringLiteral("%1 refused the desk's certificate (is the desk allowed at the bench?)").arg(address);
}

} // namespace

QSslConfiguration TlsConfigurationFor(const TlsFiles &files)
{
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setProtocol(QSsl::TlsV1_2OrLater);
    configuration.setPeerVerifyMode(QSslSocket::VerifyPeer);
    if (!files.ca.isEmpty())
        configuration.setCaCertificates(certificatesIn(files.ca, QStringLiteral("the CA file")));
    if (files.certificate.isEmpty() != files.key.isEmpty())
        throw InvalidPortError(QStringLiteral("the desk needs both a certificate and a key ([TLS] Certificate and Key)"));
    if (!files.certificate.isEmpty()) {
        configuration.setLocalCertificateChain(certificatesIn(files.certificate, QStringLiteral("the desk's certificate")));
        configuration.setPrivateKey(keyIn(files.key));
    }
    return configuration;
}

QString HandshakeFailure(const QString &address, const QList<QSslError> &errors, QAbstractSocket::SocketError error,
                         const QString &errorText, bool deskCertificateSet)
{
    // The most basic fault first: a certificate from no one we trust says nothing of its dates or name.
    if (has(errors, isTrustError))
        return QStringLiteral("the certificate of %1 is not signed by a trusted CA").arg(address);
    if (has(errors, [](QSslError::SslError e) { return e == QSslError::CertificateExpired; }))
        return QStringLiteral("the certificate of %1 has expired").arg(address);
    if (has(errors, [](QSslError::SslError e) { return e == QSslError::CertificateNotYetValid; }))
        return QStringLiteral("the certificate of %1 is not yet valid").arg(address);
    if (has(errors, [](QSslError::SslError e) { return e == QSslError::HostNameMismatch; }))
        return QStringLiteral("the certificate of %1 is for another host").arg(address);
    if (!errors.isEmpty())
        return QStringLiteral("the certificate of %1 is refused: %2").arg(address, errors.first().errorString());
    switch (error) {
    case QAbstractSocket::SslInvalidUserDataError:
        return QStringLiteral("the desk's certificate and key cannot be used (%1)").arg(errorText);
    case QAbstractSocket::RemoteHostClosedError:
        return QStringLiteral("%1 closed the connection during the TLS handshake").arg(address);
    case QAbstractSocket::SocketTimeoutError:
        return QStringLiteral("%1 did not complete a TLS handshake within %2 s (a plain rfc2217:// port?)")
            .arg(address, QString::number(NetworkOpenTimeoutMs / 1000));
    default:
        break;
    }
    if (isAlert(errorText))
        return refusedDesk(address, deskCertificateSet);
    return QStringLiteral("%1 does not speak TLS (a plain rfc2217:// port?): %2").arg(address, errorText);
}

QString AfterHandshakeFailure(const QString &address, QAbstractSocket::SocketError error, const QString &errorText,
                              bool deskCertificateSet)
{
    if (isAlert(errorText) || error == QAbstractSocket::RemoteHostClosedError)
        return refusedDesk(address, deskCertificateSet);
    return QStringLiteral("%1 ended the TLS connection: %2").arg(address, errorText);
}

bool LooksLikeTls(const QByteArray &firstBytes)
{
    // A record header: handshake (22) or alert (21), then version 3.x.
    return firstBytes.size() >= 2 && (firstBytes[0] == char(0x16) || firstBytes[0] == char(0x15))
        && firstBytes[1] == char(0x03);
}

} // namespace platform
