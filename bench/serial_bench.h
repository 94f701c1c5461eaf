#pragma once

#include "bench/bench_table.h"

#include <memory>
#include <string>

// The main window on the real serial layer against tarvex-sim, in the
// settings store of the moment: connects, clicks, bursts of clicks and lost
// connections, each timed from the window to the moment the simulator saw it.
namespace velmora_bench {

class SerialRig;

class SerialBench
{
public:
    // The base on its terminal, reached directly or through ser2net on loopback.
    enum class Route { Terminal, Ser2net };
    enum class Loss { LineChange, Cable, Killed, ServerKilled };

    explicit SerialBench(Route route = Route::Terminal);
    ~SerialBench();
    SerialBench(const SerialBench &) = delete;
    SerialBench &operator=(const SerialBench &) = delete;

    // Click to the reset byte; `toProbe` gets click to the probe, the part that
    // is not the fixed wait.
    Series connects(int runs, Series *toProbe);
    Series clicks(int runs);
    // The time from the first click to the last byte at the base; each burst is
    // checked byte by byte, and the first fault found is kept.
    Series bursts(int runs, std::string *fault);
    // From the change at the base (the simulator's time of it, or the kill) to
    // the "Connection lost" message, each time on a connection past its settling.
    Series losses(int runs, Loss loss);

    static constexpr int BurstLength = 1000;

private:
    std::unique_ptr<SerialRig> m_rig;
};

} // namespace velmora_bench
