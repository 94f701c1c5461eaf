#pragma once

#include <string>

// What tarvex-sim prints: one line at a time, flushed at once, so that a reader
// of its output sees every line as it happens.
namespace tarvex_sim {

void PrintLine(const std::string &line);
// "tarvex-sim: <message>" on standard error.
void PrintError(const std::string &message);

} // namespace tarvex_sim
