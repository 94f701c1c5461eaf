#pragma once

// A device that never stops talking while connected: the main window
// connected on COM 12 to a pseudo-terminal of the benchmark's own that answers
// the probe and then sends as fast as the terminal takes it.
namespace velmora_bench {

struct FloodResult
{
    double growthMiB = 0; // of this process's resident memory
    double megabytesPerSecond = 0;
};

// Floods the connected window for `seconds`.
FloodResult Flood(int seconds);

} // namespace velmora_bench
