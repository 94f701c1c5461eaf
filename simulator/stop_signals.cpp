#include "simulator/stop_signals.h"

#include <cerrno>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace tarvex_sim {

namespace {

// Signals only write their number into this pipe; the main loop reads it.
int g_signalPipe[2] = {-1, -1};

extern "C" void onStopSignal(int signalNumber)
{
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    [[maybe_unused]] const ssize_t written = ::write(g_signalPipe[1], &byte, 1);
    errno = savedErrno;
}

const char *signalName(int signalNumber)
{
    switch (signalNumber) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    default: return "a signal";
    }
}

} // namespace

bool InstallStopSignals(std::string *error)
{
    if (::pipe(g_signalPipe) != 0) {
        *error = std::string("cannot make a pipe: ") + std::strerror(errno);
        return false;
    }
    for (int fd : g_signalPipe) {
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    struct sigaction action = {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    for (int signalNumber : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(signalNumber, &action, nullptr);
    // A reader of our output that went away must not end us before we tidy up.
    std::signal(SIGPIPE, SIG_IGN);
    return true;
}

int StopSignalFd()
{
    return g_signalPipe[0];
}

std::string TakeStopSignal()
{
    unsigned char signalNumber = 0;
    [[maybe_unused]] const ssize_t n = ::read(g_signalPipe[0], &signalNumber, 1);
    return signalName(signalNumber);
}

} // namespace tarvex_sim
