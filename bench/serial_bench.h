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
    // The base on its terminal, reached directly or through ser2net on
    // loopback, plain or over TLS with the desk's certificate (COM 1); over
    // TLS, plain ser2net in front of the same terminal is COM 2.
    enum class Route { Terminal, Ser2net, Ser2netTls };
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

    // Over TLS only: setPortOpen(true) of a serial control of the bench's own,
    // through TLS and through plain ser2net in turn, and the difference pair
    // by pair, which is what TLS costs the open.
    struct Opens
    {
        Series tls;
        Series plain;
        Series tlsCost;
    };
    Opens opens(int pairs);

    static constexpr int BurstLength = 1000;

private:
    std::unique_ptr<SerialRig> m_rig;
};

} // namespace velmora_bench
