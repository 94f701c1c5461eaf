#pragma once

// The modem lines that tarvex-sim gives its pseudo-terminal, as a small text
// file per terminal that the simulator writes and the modem-line fixture of the
// tests reads on every call. Standard C++ and POSIX only: the fixture is loaded
// into programs that must not see Qt twice.
#include <cstdio>
#include <cstdlib>
#include <string>

#include <fcntl.h>
#include <unistd.h>

namespace line_state_file {

// Overrides the folder of the state files, for the simulator and the fixture alike.
inline constexpr const char *FolderVariable = "VELMORA_MODEM_LINES_DIR";

// Modem bits, the values of TIOCM_CTS, TIOCM_CAR (CD), TIOCM_RNG and TIOCM_DSR,
// so that the bits can be handed on as they are.
inline constexpr int Cts = 0x020;
inline constexpr int Cd = 0x040;
inline constexpr int Ri = 0x080;
inline constexpr int Dsr = 0x100;

// One terminal's lines: which inputs are on, and how often each changed, as a
// serial driver counts them.
struct LineState
{
    long writer = 0; // the process that keeps the file; gone means unplugged
    int bits = 0;
    int cts = 0;
    int dsr = 0;
    int cd = 0;
    int ri = 0;
    int breaks = 0;
    int frame = 0;
    int parity = 0;
    int overrun = 0;
};

// The simulator's own folder: $XDG_RUNTIME_DIR/tarvex-sim, or, without that
// variable, /tmp/tarvex-sim-<uid>.
inline std::string SimulatorFolder()
{
    const char *runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && runtime[0] == '/')
        return std::string(runtime) + "/tarvex-sim";
    return "/tmp/tarvex-sim-" + std::to_string(::getuid());
}

inline std::string Folder()
{
    const char *chosen = std::getenv(FolderVariable);
    if (chosen && chosen[0] == '/')
        return chosen;
    return SimulatorFolder() + "/lines";
}

// /dev/pts/7 has the file "pts7".
inline std::string PathFor(const std::string &folder, int ptyNumber)
{
    return folder + "/pts" + std::to_string(ptyNumber);
}

inline std::string Format(const LineState &s)
{
    char text[160];
    std::snprintf(text, sizeof text,
                  "tarvex-lines writer=%ld bits=%d cts=%d dsr=%d cd=%d ri=%d brk=%d frame=%d parity=%d overrun=%d\n",
                  s.writer, s.bits, s.cts, s.dsr, s.cd, s.ri, s.breaks, s.frame, s.parity, s.overrun);
    return text;
}

inline bool Parse(const char *text, LineState *s)
{
    return std::sscanf(text,
                       "tarvex-lines writer=%ld bits=%d cts=%d dsr=%d cd=%d ri=%d brk=%d frame=%d parity=%d "
                       "overrun=%d",
                       &s->writer, &s->bits, &s->cts, &s->dsr, &s->cd, &s->ri, &s->breaks, &s->frame, &s->parity,
                       &s->overrun)
        == 10;
}

// Replaces the file in one step, so that a reader never sees half a state.
inline bool Write(const std::string &path, const LineState &state)
{
    const std::string temporary = path + ".new";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd == -1)
        return false;
    const std::string text = Format(state);
    const bool written = ::write(fd, text.data(), text.size()) == ssize_t(text.size());
    ::close(fd);
    if (!written || std::rename(temporary.c_str(), path.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

} // namespace line_state_file
