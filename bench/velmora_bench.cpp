// velmora-bench: times the main window on the real serial layer against
// tarvex-sim, directly and through ser2net, plain and over TLS, and Velmora's
// start-up against a minimal Qt Widgets program, and prints one table with the
// machine it ran on.
#include "bench/bench_table.h"
#include "bench/flood_bench.h"
#include "bench/serial_bench.h"
#ifdef VELMORA_BENCH_XCB
#include "bench/startup_bench.h"
#endif

#include "protocol/tarvex_protocol.h"
#include "simulator/tarvex_model.h"
#include "tests/support/modem_line_preload.h"
#include "tests/support/serial_server_process.h"
#include "tests/support/store_sandbox.h"

#include <QApplication>
#include <QStandardPaths>

#include <cstdio>
#include <optional>
#include <string>

namespace {

using namespace velmora_bench;
namespace protocol = tarvex_protocol;

const char UsageText[] =
    "usage: velmora-bench [--connects N] [--clicks N] [--bursts N] [--losses N]\n"
    "                     [--flood-seconds N] [--startups N] [--no-startup] [--no-network]\n"
    "                     [--smoke]\n"
    "\n"
    "Times Velmora's main window on the real serial layer against tarvex-sim (in a\n"
    "temporary settings store, never your own), and Velmora's start-up against a\n"
    "minimal Qt Widgets program on a private Xvfb display; prints one table with\n"
    "the median and the worst of the runs, each against its target.\n"
    "\n"
    "  --connects N   connects timed, click to the reset byte at the base, and pairs\n"
    "                 of opens through ser2net over TLS and plain (default 30)\n"
    "  --clicks N     single item clicks timed, click to the byte at the base (default 300)\n"
    "  --bursts N     bursts of 1,000 clicks checked byte by byte (default 5)\n"
    "  --losses N     lost connections timed, from the change at the base to the\n"
    "                 \"Connection lost\" message, for each of a line change, the\n"
    "                 cable pulled and the simulator killed (default 20); line\n"
    "                 changes reach the window through the modem-line fixture, which\n"
    "                 the bench loads into itself\n"
    "  --flood-seconds N\n"
    "                 how long a device floods the connected window; the growth of\n"
    "                 the bench's resident memory meanwhile (default 60)\n"
    "  --startups N   start-ups of each program, after one untimed pair (default 15)\n"
    "  --no-network   leave out the lines through ser2net, a serial server on the\n"
    "                 network in front of the simulator (Debian package ser2net),\n"
    "                 plain and over TLS with certificates made by openssl\n"
    "  --no-startup   leave out the start-up and memory lines\n"
    "  --smoke        a few runs of each, to check that the bench still works; only a\n"
    "                 lost, doubled or reordered byte or a failed step fails it\n"
    "\n"
    "Exit status: 0 when every target was met (with --smoke: when nothing failed),\n"
    "1 when one was missed, 2 when a measurement could not be made.\n";

constexpr double ConnectTargetMs = 110.0;
// Through a server on loopback the open adds a connection and its negotiation,
// which must not show beside the probe's fixed wait.
constexpr double NetworkConnectExtraMs = 1.0;
// TLS adds a wait for a server that speaks first and the handshake.
constexpr double TlsConnectExtraMs = 5.0;
constexpr double ServerGoneTargetMs = 50.0;
constexpr double ClickTargetMs = 2.0;
constexpr double LossMedianTargetMs = 30.0;
constexpr double LossWorstTargetMs = 60.0;
constexpr double RatioTarget = 1.25;
constexpr double FloodGrowthTargetMiB = 1.0;

struct Options
{
    int connects = 30;
    int clicks = 300;
    int bursts = 5;
    int losses = 20;
    int floodSeconds = 60;
    int startups = 15;
    bool startup = true;
    bool network = true;
    bool smoke = false;
};

std::optional<int> parseOptions(int argc, char *argv[], Options *options)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        int *count = arg == "--connects" ? &options->connects
            : arg == "--clicks"          ? &options->clicks
            : arg == "--bursts"          ? &options->bursts
            : arg == "--losses"          ? &options->losses
            : arg == "--flood-seconds"   ? &options->floodSeconds
            : arg == "--startups"        ? &options->startups
                                         : nullptr;
        if (arg == "--help" || arg == "-h") {
            std::fputs(UsageText, stdout);
            return 0;
        } else if (arg == "--no-startup") {
            options->startup = false;
        } else if (arg == "--no-network") {
            options->network = false;
        } else if (arg == "--smoke") {
            options->smoke = true;
            options->connects = 2;
            options->clicks = 10;
            options->bursts = 1;
            options->losses = 2;
            options->floodSeconds = 2;
            options->startups = 1;
        } else if (count && i + 1 < argc) {
            bool ok = false;
            *count = QString::fromLocal8Bit(argv[++i]).toInt(&ok);
            if (!ok || *count < 1 || *count > 100000) {
                std::fprintf(stderr, "velmora-bench: %s takes a count from 1 to 100000\n", arg.c_str());
                return 2;
            }
        } else {
            std::fprintf(stderr, "velmora-bench: unknown option or missing value: %s (see --help)\n", arg.c_str());
            return 2;
        }
    }
    return std::nullopt;
}

} // namespace

int main(int argc, char *argv[])
{
    modem_line_preload::RestartWithFixture(argv);
    Options options;
    if (const std::optional<int> exitCode = parseOptions(argc, argv, &options))
        return *exitCode;

    // The window under test needs no screen; the programs started for the
    // start-up lines get the X server instead.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // The offscreen platform's notes would break up the table.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &message) {
        if (type == QtCriticalMsg || type == QtFatalMsg)
            std::fprintf(stderr, "velmora-bench: %s\n", qPrintable(message));
    });
    QApplication app(argc, argv);
    StoreSandbox sandbox;

    std::printf("velmora-bench on %s\n", MachineLine(VELMORA_BUILD_TYPE).c_str());
    std::printf("serial path: frm_FaultsAndMods on the POSIX serial layer, tarvex-sim on a pseudo-terminal;\n"
                "times are taken from the click to the moment the simulator read the byte\n\n");
    std::fflush(stdout);

    Table table;
    [[maybe_unused]] bool startupMeasured = false;
    std::string fault;
    const std::string resetByte = tarvex_sim::HexByte(protocol::ResetAll);
    const std::string probeByte = tarvex_sim::HexByte(protocol::Probe);
    const auto within = [](const Series &ms, double target) { return ms.median() <= target && ms.worst() <= target; };
    const std::string lossTarget =
        Format("median <= %.0f ms, worst <= ", LossMedianTargetMs) + Format("%.0f ms", LossWorstTargetMs);
    const auto lossMet = [](const Series &ms) {
        return ms.median() <= LossMedianTargetMs && ms.worst() <= LossWorstTargetMs;
    };
    try {
        SerialBench serial;
        Series toProbe;
        const Series connects = serial.connects(options.connects, &toProbe);
        table.add("connect: click to " + resetByte + " at the base", connects, "%.1f ms",
                  Format("<= %.0f ms", ConnectTargetMs), within(connects, ConnectTargetMs));
        table.add("  of which click to probe " + probeByte + " at the base", toProbe, "%.1f ms");

        const Series clicks = serial.clicks(options.clicks);
        table.add("item click to its byte at the base", clicks, "%.3f ms", Format("<= %.0f ms", ClickTargetMs),
                  within(clicks, ClickTargetMs));

        const Series bursts = serial.bursts(options.bursts, &fault);
        table.add("burst of 1,000 clicks, first click to last byte", bursts, "%.1f ms", "every byte once, in order",
                  fault.empty());

        if (modem_line_preload::FixtureLoaded()) {
            const Series lines = serial.losses(options.losses, SerialBench::Loss::LineChange);
            table.add("line change at the base to \"Connection lost\"", lines, "%.1f ms", lossTarget, lossMet(lines));
        } else {
            std::printf("line change lines skipped: %s\n\n", modem_line_preload::Missing());
            if (!options.smoke)
                table.missed();
        }
        const Series cable = serial.losses(options.losses, SerialBench::Loss::Cable);
        table.add("cable pulled at the base to \"Connection lost\"", cable, "%.1f ms", lossTarget, lossMet(cable));
        const Series killed = serial.losses(options.losses, SerialBench::Loss::Killed);
        table.add("simulator killed to \"Connection lost\"", killed, "%.1f ms", lossTarget, lossMet(killed));

        if (!options.network) {
            std::printf("network lines left out (--no-network)\n\n");
        } else if (const QString missing = SerialServerProcess::Missing(SerialServerProcess::Kind::Ser2net);
                   !missing.isEmpty()) {
            std::printf("network lines skipped: %s\n\n", qPrintable(missing));
            if (!options.smoke)
                table.missed();
        } else {
            Series networkConnects;
            {
                SerialBench network(SerialBench::Route::Ser2net);
                Series networkToProbe;
                networkConnects = network.connects(options.connects, &networkToProbe);
                const double networkTargetMs = connects.median() + NetworkConnectExtraMs;
                table.add("connect through ser2net on loopback: click to " + resetByte, networkConnects, "%.1f ms",
                          Format("median <= terminal's + %.0f ms", NetworkConnectExtraMs)
                              + Format(" (%.1f ms)", networkTargetMs),
                          networkConnects.median() <= networkTargetMs);
                table.add("  of which click to probe " + probeByte + " (open and negotiation)", networkToProbe,
                          "%.1f ms");

                const Series gone = network.losses(options.losses, SerialBench::Loss::ServerKilled);
                table.add("ser2net killed to \"Connection lost\"", gone, "%.1f ms",
                          Format("median <= %.0f ms", ServerGoneTargetMs), gone.median() <= ServerGoneTargetMs);
                // ser2net looks at the lines once a second: that bounds this line, not Velmora.
                table.add("line change at the base through ser2net to \"Connection lost\"",
                          network.losses(options.losses, SerialBench::Loss::LineChange), "%.0f ms",
                          "ser2net polls each 1 s");
            }

            // Only once the plain rig is gone: both map COM 1, and each simulator puts back what it found.
            if (const QString tlsMissing = SerialServerProcess::Missing(SerialServerProcess::Kind::Ser2netTls);
                !tlsMissing.isEmpty()) {
                std::printf("TLS lines skipped: %s\n\n", qPrintable(tlsMissing));
                if (!options.smoke)
                    table.missed();
            } else {
                SerialBench tls(SerialBench::Route::Ser2netTls);
                Series tlsToProbe;
                const Series tlsConnects = tls.connects(options.connects, &tlsToProbe);
                const double tlsTargetMs = networkConnects.median() + TlsConnectExtraMs;
                table.add("connect through ser2net over TLS on loopback: click to " + resetByte, tlsConnects,
                          "%.1f ms",
                          Format("median <= ser2net's + %.0f ms", TlsConnectExtraMs)
                              + Format(" (%.1f ms)", tlsTargetMs),
                          tlsConnects.median() <= tlsTargetMs);
                table.add("  of which click to probe " + probeByte + " (open, TLS and negotiation)", tlsToProbe,
                          "%.1f ms");
                const SerialBench::Opens opens = tls.opens(options.connects);
                table.add("open (setPortOpen) through ser2net over TLS", opens.tls, "%.1f ms");
                table.add("open through plain ser2net, same terminal, in turn", opens.plain, "%.1f ms");
                table.add("  TLS handshake: open over TLS minus plain, pair by pair", opens.tlsCost, "%.1f ms");
            }
        }

        const FloodResult flooded = Flood(options.floodSeconds);
        Series growth;
        growth.add(flooded.growthMiB);
        table.add(Format("RSS growth during a %.0f s flood", options.floodSeconds)
                      + Format(" of %.1f MB/s", flooded.megabytesPerSecond),
                  growth, "%.2f MiB", Format("< %.0f MiB", FloodGrowthTargetMiB),
                  flooded.growthMiB < FloodGrowthTargetMiB);

        if (!options.startup) {
            std::printf("start-up lines left out (--no-startup)\n\n");
        } else {
#ifdef VELMORA_BENCH_XCB
            const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
            if (xvfb.isEmpty()) {
                std::printf("start-up lines skipped: Xvfb is not installed (package xvfb)\n\n");
                if (!options.smoke)
                    table.missed();
            } else {
                const StartupSeries s = Startups(options.startups, xvfb.toStdString());
                table.add("start-up to shown dialog: Velmora", s.velmoraMs, "%.1f ms");
                table.add("start-up to shown dialog: minimal Qt Widgets", s.minimalMs, "%.1f ms");
                table.add("start-up, Velmora / minimal", s.timeRatio, "%.2f", Format("median <= %.2f", RatioTarget),
                          s.timeRatio.median() <= RatioTarget);
                table.add("RSS when shown: Velmora", s.velmoraMiB, "%.1f MiB");
                table.add("RSS when shown: minimal Qt Widgets", s.minimalMiB, "%.1f MiB");
                table.add("RSS when shown, Velmora / minimal", s.memoryRatio, "%.2f",
                          Format("median <= %.2f", RatioTarget), s.memoryRatio.median() <= RatioTarget);
                startupMeasured = true;
            }
#else
            std::printf("start-up lines skipped: built without xcb (package libxcb1-dev)\n\n");
            if (!options.smoke)
                table.missed();
#endif
        }
    } catch (const Failure &failure) {
        table.print();
        std::fprintf(stderr, "velmora-bench: %s\n", failure.what());
        return 2;
    }

    table.print();
#ifdef VELMORA_BENCH_XCB
    if (startupMeasured)
        std::printf("\nstart-up: from the spawn to the X server mapping the window titled \"Authentication\"\n"
                    "(Velmora) or \"Minimal\", on a private Xvfb without a window manager; RSS is read %d ms\n"
                    "after the map. Ratios are taken pair by pair, the two programs started alternately.\n",
                    SettleAfterMapMs);
#endif
    if (!fault.empty()) {
        std::printf("burst: %s\n", fault.c_str());
        return 1;
    }
    return options.smoke || table.allMet() ? 0 : 1;
}
