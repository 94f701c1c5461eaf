#pragma once

#include <QString>

#include <functional>

namespace platform {

// The files with which a bench is reached inside TLS, as absolute paths;
// empty where the store names none.
struct TlsFiles
{
    QString ca;          // the certificates that may sign a bench's; none: the system's
    QString certificate; // the desk's own, with its chain
    QString key;         // the desk's private key, not encrypted
};

// What a COM number leads to, worked out before the port is opened.
struct PortTarget
{
    enum class Kind {
        Invalid,    // nothing usable: `description` says why, naming the value
        SystemPort, // the system's own COMn (Windows)
        Device,     // a terminal device, `device` its path (POSIX)
        Network,    // a serial server reached over RFC 2217 at `host`:`tcpPort`
    };

    Kind kind = Kind::Invalid;
    int number = 0; // the COM number
    QString device;
    QString host;   // a name, an IPv4 address, or an IPv6 address without brackets
    quint16 tcpPort = 0;
    bool tls = false;   // rfc2217s://: RFC 2217 inside TLS
    TlsFiles tlsFiles;
    QString description;
};

// Works out what COM `number` leads to; called at every open.
using PortResolver = std::function<PortTarget(int number)>;

// What COM `number` means when mapped to `value` (empty: not mapped):
//   rfc2217://HOST:PORT   a serial server on the network, on every system;
//   rfc2217s://HOST:PORT  the same inside TLS;
//   nothing               the system's COMn on Windows, /dev/ttyS<n-1> elsewhere;
//   /path or name         a device (/dev/name) on POSIX systems.
// Anything else is Invalid with a description that names the value.
PortTarget PortTargetFromMapping(int number, const QString &value);

// COM `number`, mapped to `value`, cannot be used for `reason` ("which ...",
// "whose ..."): an Invalid target whose description names the value.
PortTarget InvalidPortTarget(int number, const QString &value, const QString &reason);

// What a settings file holds, as it may be shown to the user: characters that
// do not print as "?", and at most maxLength of them, then "...".
QString ShownText(const QString &value, qsizetype maxLength);

// The host and port as they would be written in a mapping: IPv6 in brackets.
QString NetworkAddressText(const PortTarget &target);

} // namespace platform
