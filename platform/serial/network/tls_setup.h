#pragma once

#include "platform/serial/port_target.h"

#include <QAbstractSocket>
#include <QList>
#include <QSslConfiguration>
#include <QSslError>
#include <QString>

// The TLS side of a bench mapped to rfc2217s://: what the desk shows the bench
// and how it checks the bench, from the files the settings name, and why a
// handshake failed, said so that lab IT can act on it. The handshake itself is
// Qt Network's (OpenSSL on Linux, Schannel on Windows).
namespace platform {

// TLS 1.2 or later; the bench's chain verified against the CA file (none: the
// system's trusted roots) and its name checked; the desk's certificate and key
// when both are set. Throws CommError 8002 naming the file and its fault: one
// that cannot be read or holds no certificate or key, only one of the two
// set, or (POSIX) a key that its group or others may read.
QSslConfiguration TlsConfigurationFor(const TlsFiles &files);

// Why the handshake with `address` failed: the verification errors of the
// bench's certificate, or else the socket's error.
QString HandshakeFailure(const QString &address, const QList<QSslError> &errors, QAbstractSocket::SocketError error,
                         const QString &errorText, bool deskCertificateSet);

// Why a bench that finished the handshake then ended the connection before
// the serial port was set up: TLS 1.3 servers check the desk's certificate
// only then.
QString AfterHandshakeFailure(const QString &address, QAbstractSocket::SocketError error, const QString &errorText,
                              bool deskCertificateSet);

// Whether the first bytes that a server sent are a TLS record: a plain
// rfc2217:// mapping that leads to a TLS port.
bool LooksLikeTls(const QByteArray &firstBytes);

} // namespace platform
