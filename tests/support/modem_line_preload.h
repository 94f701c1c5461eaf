#pragma once

// Puts the modem-line fixture into this process: where it is built (Linux),
// the executable starts itself again with the fixture in LD_PRELOAD, and then
// takes it out of the environment, so that the simulator and every other child
// run without it.
#include <cstdlib>
#include <cstring>
#include <string>

#include <dlfcn.h>
#include <unistd.h>

namespace modem_line_preload {

inline bool FixtureLoaded()
{
    return ::dlsym(RTLD_DEFAULT, "velmora_modem_line_fixture") != nullptr;
}

// Call first in main(); returns only when the fixture is loaded or cannot be.
inline void RestartWithFixture(char *argv[])
{
#ifdef MODEM_LINE_FIXTURE
    const char *restarted = "VELMORA_MODEM_LINE_FIXTURE_RESTARTED";
    if (!FixtureLoaded() && !std::getenv(restarted) && ::access(MODEM_LINE_FIXTURE, R_OK) == 0) {
        std::string preload = MODEM_LINE_FIXTURE;
        if (const char *others = std::getenv("LD_PRELOAD"); others && *others)
            preload += std::string(":") + others;
        ::setenv("LD_PRELOAD", preload.c_str(), 1);
        ::setenv(restarted, "1", 1);
        ::execv("/proc/self/exe", argv);
        // Could not start again: on without the fixture, its cases skip.
    }
    if (const char *preload = std::getenv("LD_PRELOAD");
        preload && std::strncmp(preload, MODEM_LINE_FIXTURE, std::strlen(MODEM_LINE_FIXTURE)) == 0) {
        const std::string others = preload + std::strlen(MODEM_LINE_FIXTURE);
        if (others.empty())
            ::unsetenv("LD_PRELOAD");
        else
            ::setenv("LD_PRELOAD", others.c_str() + 1, 1);
    }
    ::unsetenv(restarted);
#else
    (void)argv;
#endif
}

// Why the line cases cannot run, for QSKIP.
inline const char *Missing()
{
#ifdef MODEM_LINE_FIXTURE
    return "the modem-line fixture is not loaded (LD_PRELOAD of " MODEM_LINE_FIXTURE " failed)";
#else
    return "the modem-line fixture needs LD_PRELOAD and Linux pseudo-terminals; not built on this system";
#endif
}

} // namespace modem_line_preload

