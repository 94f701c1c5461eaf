#pragma once

#include <QString>

// On systems without COM names, the settings store maps COM numbers to
// devices: in section "Ports", key "COM3" = "/dev/ttyUSB0".
namespace platform::port_map {

inline const QString Section = QStringLiteral("Ports");
inline QString Key(int portNumber) { return QStringLiteral("COM%1").arg(portNumber); }

} // namespace platform::port_map
