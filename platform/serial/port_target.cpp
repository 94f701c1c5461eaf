#include "platform/serial/port_target.h"

#include "platform/serial/comm_codes.h"

#include <QHostAddress>
#include <QRegularExpression>

namespace platform {

namespace {

const QString Scheme = QStringLiteral("rfc2217://");
const QString TlsScheme = QStringLiteral("rfc2217s://");
// How much of a mapped value a description quotes.
constexpr qsizetype ShownValueLength = 80;
constexpr qsizetype MaxHostNameLength = 253;

PortTarget invalid(int number, const QString &value, const QString &reason)
{
    PortTarget target;
    target.number = number;
    target.description = QStringLiteral("%1: COM%2 is mapped to \"%3\", %4")
                             .arg(QString::fromLatin1(comm_text::InvalidPortNumber),
                                  QString::number(number), ShownText(value, ShownValueLength), reason);
    return target;
}

bool isHostName(const QString &host)
{
    static const QRegularExpression label(QStringLiteral("^[A-Za-z0-9_]([A-Za-z0-9_-]{0,61}[A-Za-z0-9_])?$"));
    if (host.isEmpty() || host.size() > MaxHostNameLength)
        return false;
    QString name = host;
    if (name.endsWith(u'.'))
        name.chop(1);
    const QStringList labels = name.split(u'.');
    for (const QString &part : labels) {
        if (!label.match(part).hasMatch())
            return false;
    }
    return true;
}

// A host whose last label is a number (decimal, or hexadecimal after "0x") is
// meant as an IPv4 address: no top-level domain is one, and the system's
// resolver reads such text as an address in the old forms ("0x7f.1",
// "2130706433") before it asks any name server.
bool looksLikeIpv4(const QString &host)
{
    static const QRegularExpression number(QStringLiteral("^([0-9]+|0[xX][0-9A-Fa-f]*)$"));
    QString name = host;
    if (name.endsWith(u'.'))
        name.chop(1);
    return number.match(name.mid(name.lastIndexOf(u'.') + 1)).hasMatch();
}

// Four decimal numbers 0 to 255 without leading zeros: the one form that every
// reader takes for the same address. In the old forms a leading zero means
// octal, so "127.0.0.010" would lead to 127.0.0.8.
bool isDottedQuad(const QString &host)
{
    static const QRegularExpression part(QStringLiteral("^(0|[1-9][0-9]{0,2})$"));
    const QStringList parts = host.split(u'.');
    if (parts.size() != 4)
        return false;
    for (const QString &number : parts) {
        if (!part.match(number).hasMatch() || number.toInt() > 255)
            return false;
    }
    return true;
}

PortTarget networkTarget(int number, const QString &value, bool tls)
{
    const QString rest = value.mid(tls ? TlsScheme.size() : Scheme.size());
    const QString authority = rest.endsWith(u'/') ? rest.chopped(1) : rest;
    const qsizetype colon = authority.lastIndexOf(u':');
    if (colon < 0)
        return invalid(number, value, QStringLiteral("which names no TCP port (%1HOST:PORT)").arg(tls ? TlsScheme : Scheme));
    QString host = authority.left(colon);
    const QString portText = authority.mid(colon + 1);

    static const QRegularExpression digits(QStringLiteral("^[0-9]{1,5}$"));
    const uint port = portText.toUInt();
    if (!digits.match(portText).hasMatch() || port < 1 || port > 65535)
        return invalid(number, value, QStringLiteral("whose TCP port is not 1 to 65535"));

    if (host.startsWith(u'[') && host.endsWith(u']')) {
        host = host.mid(1, host.size() - 2);
        if (QHostAddress(host).protocol() != QAbstractSocket::IPv6Protocol)
            return invalid(number, value, QStringLiteral("whose IPv6 address is not valid"));
    } else if (looksLikeIpv4(host)) {
        if (!isDottedQuad(host))
            return invalid(number, value,
                           QStringLiteral("whose IPv4 address is not four numbers 0 to 255 without leading zeros"));
    } else if (!isHostName(host)) {
        return invalid(number, value, QStringLiteral("whose host is no name or address"));
    }

    PortTarget target;
    target.kind = PortTarget::Kind::Network;
    target.number = number;
    target.host = host;
    target.tcpPort = quint16(port);
    target.tls = tls;
    return target;
}

} // namespace

PortTarget PortTargetFromMapping(int number, const QString &value)
{
    PortTarget target;
    target.number = number;
    if (number < 1) {
        target.description = QString::fromLatin1(comm_text::InvalidPortNumber);
        return target;
    }
    const QString mapped = value.trimmed();
    if (mapped.startsWith(Scheme, Qt::CaseInsensitive))
        return networkTarget(number, mapped, false);
    if (mapped.startsWith(TlsScheme, Qt::CaseInsensitive))
        return networkTarget(number, mapped, true);
    if (mapped.contains(QStringLiteral("://")))
        return invalid(number, mapped, QStringLiteral("which is no rfc2217://HOST:PORT address"));
#ifdef Q_OS_WIN
    if (!mapped.isEmpty())
        return invalid(number, mapped, QStringLiteral("which is no rfc2217://HOST:PORT address"));
    target.kind = PortTarget::Kind::SystemPort;
#else
    target.kind = PortTarget::Kind::Device;
    if (mapped.isEmpty())
        target.device = QStringLiteral("/dev/ttyS%1").arg(number - 1);
    else if (mapped.startsWith(u'/'))
        target.device = mapped;
    else
        target.device = QStringLiteral("/dev/") + mapped;
#endif
    return target;
}

QString ShownText(const QString &value, qsizetype maxLength)
{
    QString shown;
    for (const QChar c : value.left(maxLength))
        shown += c.isPrint() ? c : QChar(u'?');
    if (value.size() > maxLength)
        shown += QStringLiteral("...");
    return shown;
}

PortTarget InvalidPortTarget(int number, const QString &value, const QString &reason)
{
    return invalid(number, value.trimmed(), reason);
}

QString NetworkAddressText(const PortTarget &target)
{
    const QString host = target.host.contains(u':') ? QStringLiteral("[%1]").arg(target.host) : target.host;
    return QStringLiteral("%1:%2").arg(host, QString::number(target.tcpPort));
}

} // namespace platform
