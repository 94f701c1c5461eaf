#pragma once

#include <optional>
#include <string>
#include <vector>

// tarvex-sim's command line and the controls it takes on standard input.
namespace tarvex_sim {

enum class ControlKind { PowerOff, PowerOn, Cable, Break, Noise, Cts, Dsr, Cd, Help };

struct Control
{
    ControlKind kind;
    const char *name;
    const char *what;
};

// "  power off      switch the base off: ...\n", one line a control.
std::string ControlList();
// The control named exactly `text`; null for none.
const Control *FindControl(const std::string &text);

struct TimedControl
{
    int atMs = 0;
    const Control *control = nullptr;
};

struct Options
{
    int com = 1;
    bool silent = false;
    int answerDelayMs = 0;
    bool off = false;
    std::vector<TimedControl> timedControls;
    bool quiet = false;
    bool watchStdin = true;
    bool timestamps = false;
};

// Returns an exit code when the program should end at once (after --help, or a
// bad option, which it reports on standard error).
std::optional<int> ParseOptions(int argc, char *argv[], Options *options);

} // namespace tarvex_sim
