#pragma once

#include "bench/bench_table.h"

#include <optional>
#include <string>

// Start-up: Velmora and a minimal Qt Widgets program, started in turn on a
// private X server, from the spawn to the window being mapped, and their
// resident memory once it is shown.
namespace velmora_bench {

struct StartupSeries
{
    Series velmoraMs, minimalMs, velmoraMiB, minimalMiB, timeRatio, memoryRatio;
};

// Long enough for the first paint after the window is mapped.
inline constexpr int SettleAfterMapMs = 200;

// `runs` pairs after one untimed pair, on an Xvfb of its own.
StartupSeries Startups(int runs, const std::string &xvfb);

} // namespace velmora_bench
