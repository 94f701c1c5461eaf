#pragma once

#include <string>

// SIGINT, SIGTERM and SIGHUP stop tarvex-sim in its main loop, never inside a
// handler: the handler only writes the signal's number into a pipe.
namespace tarvex_sim {

bool InstallStopSignals(std::string *error);
// Readable once a stop signal came.
int StopSignalFd();
// Takes the signal that came: "SIGTERM".
std::string TakeStopSignal();

} // namespace tarvex_sim
