#include "platform/ui/session_end.h"

#include <QApplication>
#include <QSocketNotifier>

#ifdef Q_OS_UNIX
#include <array>
#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace platform {

namespace {

// Windows' end of session quits without closing any window, and may end the
// process right after this signal; closing them here lets each unload as by its
// close box. Windows closed this way are deleted right after, with the other
// deferred deletions.
void closeWindowsOnQuit()
{
    static bool connected = false;
    if (connected)
        return;
    QObject::connect(qApp, &QCoreApplication::aboutToQuit, qApp, [] { QApplication::closeAllWindows(); });
    connected = true;
}

#ifdef Q_OS_UNIX

constexpr std::array<int, 3> SessionEndSignals {SIGTERM, SIGHUP, SIGINT};

// The handler may only write to a descriptor; the event loop reads the other end.
int signalPipe[2] = {-1, -1};
struct sigaction previousActions[SessionEndSignals.size()];
bool handlersInstalled = false;

extern "C" void onSessionEndSignal(int signalNumber)
{
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
    errno = savedErrno;
}

void restorePreviousActions()
{
    for (std::size_t i = 0; i < SessionEndSignals.size(); ++i)
        ::sigaction(SessionEndSignals[i], &previousActions[i], nullptr);
    handlersInstalled = false;
}

void quitOnSignals()
{
    if (signalPipe[0] == -1) {
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, signalPipe) == -1) {
            // Without the pipe the signals keep their default: the program ends
            // at once, as it would have without this.
            signalPipe[0] = signalPipe[1] = -1;
            return;
        }
        auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, qApp);
        QObject::connect(notifier, &QSocketNotifier::activated, qApp, [] {
            unsigned char byte = 0;
            while (::read(signalPipe[0], &byte, 1) == 1) {
            }
            // A second signal is not held up by a program that cannot end.
            restorePreviousActions();
            // Closes every window first, each as by its close box.
            QCoreApplication::quit();
        });
    }
    if (handlersInstalled)
        return;
    struct sigaction action {};
    action.sa_handler = onSessionEndSignal;
    ::sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < SessionEndSignals.size(); ++i)
        ::sigaction(SessionEndSignals[i], &action, &previousActions[i]);
    handlersInstalled = true;
}

#endif

} // namespace

void CloseWindowsWhenSessionEnds()
{
    closeWindowsOnQuit();
#ifdef Q_OS_UNIX
    quitOnSignals();
#endif
}

} // namespace platform
