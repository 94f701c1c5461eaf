#include "simulator/sim_options.h"

#include "simulator/base_line.h"
#include "simulator/sim_output.h"
#include "simulator/tarvex_model.h"

#include <algorithm>
#include <cstdio>

#include <strings.h>

namespace tarvex_sim {

namespace {

namespace protocol = tarvex_protocol;

// The help text, in pieces around what the protocol and the model word
// themselves.
const char UsageIntro[] =
    "usage: tarvex-sim [--com N] [--silent | --answer-delay MS] [--off] [--at MS CONTROL]...\n"
    "                  [--quiet] [--no-stdin] [--timestamps]\n"
    "\n"
    "Plays a Tarvex base on a new pseudo-terminal and maps it as COM N in the\n"
    "settings store (section Ports), so that Velmora finds it on that port.\n";

const char UsageLinesAndOptions[] =
    "\n"
    "The base's modem lines: switched on it holds CTS, DSR and CD on. A\n"
    "pseudo-terminal has no lines of its own: the simulator publishes them in\n"
    "a small file per terminal, which the tests' modem-line fixture (loaded\n"
    "with LD_PRELOAD into the program on the other end) answers from. Without\n"
    "it the controls below change only the simulator's own state, and say so.\n"
    "\n"
    "Options:\n"
    "  --com N            map the terminal as COM N, 1 to 255 (default 1)\n"
    "  --silent           never answer the probe: Velmora says the base was not found\n"
    "  --answer-delay MS  answer the probe MS milliseconds late, 0 to 60000 (default 0)\n"
    "  --off              start with the base switched off\n"
    "  --at MS CONTROL    run CONTROL (below) MS milliseconds after the start,\n"
    "                     0 to 3600000; may be given more than once\n"
    "  --quiet            print only the start and stop lines, not one line per byte\n"
    "  --no-stdin         do not stop at the end of standard input (for running it\n"
    "                     in the background with no input)\n"
    "  --timestamps       begin every rx, tx, port and control line with the time of\n"
    "                     the system's monotonic clock (CLOCK_MONOTONIC on Linux) in\n";

const char UsageControlsHead[] =
    "                     an rx line has the time its byte was read\n"
    "  --help             print this text\n"
    "\n"
    "Controls, one a line on standard input (or with --at):\n";

const char UsageStore[] =
    "Every rx and tx line ends with the board's state: the inserted faults and\n"
    "modifications, ascending, separated by commas, or \"none\".\n"
    "\n"
    "COM N is mapped to a symbolic link that the simulator owns, in\n"
    "$XDG_RUNTIME_DIR/tarvex-sim (/tmp/tarvex-sim-<uid> without that variable),\n"
    "which leads to the terminal only while the simulator runs. Ctrl-C, SIGTERM,\n"
    "SIGHUP or the end of standard input stop it: the terminal is closed, so a\n"
    "program that has it open sees its device vanish, and COM N gets back the\n"
    "value it had before (or is removed if it had none, or if that was a\n"
    "simulator's own), unless someone changed it meanwhile.\n";

// A line of the output's table: an example and what it tells.
std::string outputRow(const std::string &example, const char *what)
{
    std::string row = "  " + example;
    row.resize(51, ' ');
    return row + what + "\n";
}

// The output, with examples that the model itself gives.
std::string outputText()
{
    tarvex_sim::BaseModel board;
    const tarvex_sim::Effect inserted = board.receive(protocol::FaultCommand(protocol::InsertBase, 2));
    return "\n"
           "Output, one line each, flushed at once:\n"
        + outputRow("rx " + tarvex_sim::HexByte(inserted.byte) + ' ' + tarvex_sim::Describe(inserted) + " | "
                        + board.stateText(),
                    "a byte received")
        + outputRow("tx " + tarvex_sim::HexByte(tarvex_sim::ProbeAnswer) + " answer to the probe, 300 ms late | ...",
                    "a late answer sent")
        + outputRow("port opened, 1 open", "(Linux) a program opened")
        + outputRow("port closed, 0 open", "  or closed the terminal")
        + outputRow("cts: CTS off | power on, cable in, CTS off ...", "a control and the lines after it")
        + outputRow("tarvex-sim: ...", "start, stop and errors");
}

// The line and the bytes, worded from the protocol itself.
std::string protocolText()
{
    using tarvex_sim::HexByte;
    return "The line is meant as " + DescribeLine(BaseLine()) + "; a\n"
        "pseudo-terminal ignores the speed, so bytes are simply read.\n"
        "\n"
        "Every probe " + HexByte(protocol::Probe) + " is answered with one byte, " + HexByte(tarvex_sim::ProbeAnswer)
        + ". " + HexByte(protocol::ResetAll) + " removes every fault\n"
        "and modification; " + HexByte(protocol::ModCommand(protocol::InsertBase, 0)) + "+m and "
        + HexByte(protocol::ModCommand(protocol::RemoveBase, 0)) + "+m insert and remove modification m+1\n"
        "(m = 0.." + std::to_string(protocol::ModificationCount - 1) + "); "
        + HexByte(protocol::FaultCommand(protocol::InsertBase, 0)) + "+f and "
        + HexByte(protocol::FaultCommand(protocol::RemoveBase, 0)) + "+f insert and remove fault f+1 (f = 0.."
        + std::to_string(protocol::FaultCount - 1) + ").\n"
        "Any other byte is reported as unknown and changes nothing.\n";
}

std::string usageText()
{
    return UsageIntro + protocolText() + UsageLinesAndOptions
        + "                     seconds with microseconds, e.g. \"8123.456789 rx " + tarvex_sim::HexByte(protocol::ResetAll)
        + " ...\";\n" + UsageControlsHead + ControlList() + outputText() + UsageStore;
}

const Control Controls[] = {
    {ControlKind::PowerOff, "power off", "switch the base off: CTS, DSR and CD drop; probes go unanswered"},
    {ControlKind::PowerOn, "power on", "switch it on: the lines rise; the board starts with nothing inserted"},
    {ControlKind::Cable, "cable",
     "pull the cable: the lines drop, then the terminal hangs up and COM N\n"
     "                 leads nowhere; once more: plug it in again (a new terminal)"},
    {ControlKind::Break, "break", "send a break"},
    {ControlKind::Noise, "noise", "a framing and a parity error, with the two bytes they garbled"},
    {ControlKind::Cts, "cts", "toggle CTS"},
    {ControlKind::Dsr, "dsr", "toggle DSR"},
    {ControlKind::Cd, "cd", "toggle CD"},
    {ControlKind::Help, "help", "list the controls"},
};

std::optional<int> parseNumber(std::string text, int lowest, int highest)
{
    if (text.empty() || text.size() > 7
        || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    const int value = std::stoi(text);
    if (value < lowest || value > highest)
        return std::nullopt;
    return value;
}

} // namespace

std::string ControlList()
{
    std::string text;
    for (const Control &control : Controls) {
        std::string name = control.name;
        name.resize(15, ' ');
        text += "  " + name + control.what + "\n";
    }
    return text;
}

const Control *FindControl(const std::string &text)
{
    for (const Control &control : Controls) {
        if (text == control.name)
            return &control;
    }
    return nullptr;
}

// Returns an exit code when the program should end at once.
std::optional<int> ParseOptions(int argc, char *argv[], Options *options)
{
    bool delayGiven = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--help" || arg == "-h") {
            std::fputs(usageText().c_str(), stdout);
            return 0;
        } else if (arg == "--silent") {
            options->silent = true;
        } else if (arg == "--quiet") {
            options->quiet = true;
        } else if (arg == "--no-stdin") {
            options->watchStdin = false;
        } else if (arg == "--timestamps") {
            options->timestamps = true;
        } else if (arg == "--off") {
            options->off = true;
        } else if (arg == "--at" && i + 2 < argc) {
            const std::optional<int> at = parseNumber(argv[++i], 0, 3600000);
            const Control *control = FindControl(argv[++i]);
            if (!at || !control) {
                PrintError("--at takes milliseconds from 0 to 3600000 and a control, not \"" + std::string(argv[i - 1])
                           + "\" \"" + argv[i] + "\" (see --help)");
                return 2;
            }
            options->timedControls.push_back({*at, control});
        } else if (arg == "--com" && hasValue) {
            std::string value = argv[++i];
            if (value.size() > 3 && strncasecmp(value.c_str(), "COM", 3) == 0)
                value.erase(0, 3);
            const std::optional<int> com = parseNumber(value, 1, 255);
            if (!com) {
                PrintError("--com takes a port number from 1 to 255, not \"" + std::string(argv[i]) + "\"");
                return 2;
            }
            options->com = *com;
        } else if (arg == "--answer-delay" && hasValue) {
            const std::optional<int> delay = parseNumber(argv[++i], 0, 60000);
            if (!delay) {
                PrintError("--answer-delay takes milliseconds from 0 to 60000, not \"" + std::string(argv[i])
                           + "\"");
                return 2;
            }
            options->answerDelayMs = *delay;
            delayGiven = true;
        } else {
            PrintError("unknown option or missing value: " + arg + " (see --help)");
            return 2;
        }
    }
    if (options->silent && delayGiven) {
        PrintError("--silent never answers, so --answer-delay makes no sense with it");
        return 2;
    }
    return std::nullopt;
}

} // namespace tarvex_sim
