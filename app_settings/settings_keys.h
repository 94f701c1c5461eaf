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

// Read back when a key is missing; "-1" also marks "nothing stored" when written.
inline const QString CommPortMissing = QStringLiteral("-1");
inline const QString PasswordMissing = QStringLiteral("-1");

} // namespace settings_keys
