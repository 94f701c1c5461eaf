// tarvex-sim: plays a Tarvex base on a pseudo-terminal, maps it to a COM number
// in the settings store for as long as it runs, and prints what every byte did.
#include "simulator/line_publisher.h"
#include "simulator/line_state_file.h"
#include "simulator/port_link.h"
#include "simulator/port_registration.h"
#include "simulator/sim_options.h"
#include "simulator/sim_output.h"
#include "simulator/simulator.h"
#include "simulator/stop_signals.h"
#include "simulator/tarvex_model.h"

#include <optional>
#include <string>

using namespace tarvex_sim;

namespace {

std::string answerText(const Options &options)
{
    if (options.silent)
        return "never answers the probe";
    std::string text = "answers the probe with " + tarvex_sim::HexByte(tarvex_sim::ProbeAnswer);
    if (options.answerDelayMs > 0)
        text += " after " + std::to_string(options.answerDelayMs) + " ms";
    return text + (options.off ? " once switched on (it starts off)" : "");
}

} // namespace

int main(int argc, char *argv[])
{
    Options options;
    if (const std::optional<int> exitCode = ParseOptions(argc, argv, &options))
        return *exitCode;

    std::string error;
    if (!InstallStopSignals(&error)) {
        PrintError(error);
        return 1;
    }
    const std::string folder = line_state_file::SimulatorFolder();
    if (!makePrivateFolder(folder, &error) || !makePrivateFolder(line_state_file::Folder(), &error)) {
        PrintError(error);
        return 1;
    }
    PortLink::removeDeadLinks(folder);
    LinePublisher::removeDeadStates(line_state_file::Folder());
    PortLink link(folder, options.com);
    LinePublisher lines(line_state_file::Folder());
    Simulator simulator(options, link, lines);
    std::string plugged;
    if (!simulator.plugIn(&plugged)) {
        PrintError(plugged);
        return 1;
    }
    PortRegistration registration(options.com, folder);
    std::string report;
    if (!registration.registerPath(link.path(), &report)) {
        PrintError(report);
        return 1;
    }
    PrintLine("tarvex-sim: " + report);
    PrintLine("tarvex-sim: " + plugged + "; its lines are published in " + line_state_file::Folder());
    PrintLine("tarvex-sim: " + answerText(options) + "; stop with Ctrl-C"
              + (options.watchStdin ? ", end of input" : "") + " or SIGTERM"
              + (options.watchStdin ? "; \"help\" lists the controls" : ""));

    const Simulator::Stop stop = simulator.run();
    // The device goes first, as it would with the power, and the store after.
    simulator.unplug();
    const bool restored = registration.restore(&report);
    PrintLine("tarvex-sim: " + stop.why + "; terminal closed; " + report);
    return stop.failed || !restored ? 1 : 0;
}
