#pragma once

#include <QString>

// Where both programs keep their values in the per-user settings store.
namespace settings_keys {

inline const QString Application = QStringLiteral("TarvexCircuitTool");

inline const QString SectionGeneral = QStringLiteral("General");
inline const QString CommPort = QStringLiteral("CommPort");
inline const QString Password = QStringLiteral("Password");

// What COM numbers lead to: key "COM3" = "/dev/ttyUSB0" (POSIX systems) or
// "rfc2217://bench3.lab:2217" (every system).
inline const QString SectionPorts = QStringLiteral("Ports");
inline QString PortKey(int portNumber) { return QStringLiteral("COM%1").arg(portNumber); }

// How benches mapped to rfc2217s://HOST:PORT are reached: file paths of the
// lab's CA certificates, the desk's certificate and its key (absolute, or
// relative to the settings file's folder on POSIX systems and to %APPDATA%
// on Windows), and "true" in Required to refuse plain rfc2217:// mappings.
inline const QString SectionTls = QStringLiteral("TLS");
inline const QString TlsCa = QStringLiteral("CA");
inline const QString TlsCertificate = QStringLiteral("Certificate");
inline const QString TlsKey = QStringLiteral("Key");
inline const QString TlsRequired = QStringLiteral("Required");
inline const QString True = QStringLiteral("true");

// Read back when a key is missing; "-1" also marks "nothing stored" when written.
inline const QString CommPortMissing = QStringLiteral("-1");
inline const QString PasswordMissing = QStringLiteral("-1");

} // namespace settings_keys
