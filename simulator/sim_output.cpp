#include "simulator/sim_output.h"

#include <cstdio>

namespace tarvex_sim {

void PrintLine(const std::string &line)
{
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void PrintError(const std::string &message)
{
    std::fprintf(stderr, "tarvex-sim: %s\n", message.c_str());
    std::fflush(stderr);
}

} // namespace tarvex_sim
