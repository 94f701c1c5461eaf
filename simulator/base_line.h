#pragma once

#include "platform/serial/serial_settings.h"

#include <string>

#include <termios.h>

// The base's line settings, read from the protocol's settings text.
namespace tarvex_sim {

platform::LineSettings BaseLine();
// "2400 baud, even parity, 8 data bits, 2 stop bits"
std::string DescribeLine(const platform::LineSettings &line);
// Sets the speed, parity, data and stop bits of a terminal's settings.
void SetLine(const platform::LineSettings &line, termios *attributes);

} // namespace tarvex_sim
