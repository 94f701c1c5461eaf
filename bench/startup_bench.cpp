#include "bench/startup_bench.h"

#include <QProcess>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <xcb/xcb.h>

extern char **environ;

namespace velmora_bench {

namespace {

struct Launch
{
    double startMs = 0;
    double rssMiB = 0;
};

// Xvfb on a display of its choosing, for as long as this lives.
class PrivateDisplay
{
public:
    explicit PrivateDisplay(const std::string &xvfb)
    {
        m_server.start(QString::fromStdString(xvfb), {QStringLiteral("-displayfd"), QStringLiteral("1"),
                                                      QStringLiteral("-nolisten"), QStringLiteral("tcp"),
                                                      QStringLiteral("-screen"), QStringLiteral("0"),
                                                      QStringLiteral("1280x1024x24")});
        if (!m_server.waitForStarted(5000))
            throw Failure("Xvfb did not start");
        while (!m_server.canReadLine() && m_server.waitForReadyRead(10000)) {
        }
        const QByteArray number = m_server.readLine().trimmed();
        if (number.isEmpty())
            throw Failure("Xvfb did not say which display it took");
        m_name = ":" + number.toStdString();
    }
    ~PrivateDisplay()
    {
        m_server.terminate();
        if (!m_server.waitForFinished(3000))
            m_server.kill();
        m_server.waitForFinished(3000);
    }
    PrivateDisplay(const PrivateDisplay &) = delete;
    PrivateDisplay &operator=(const PrivateDisplay &) = delete;

    const std::string &name() const { return m_name; }

private:
    QProcess m_server;
    std::string m_name;
};

// Sees top-level windows being mapped: with no window manager they are the
// root window's children.
class MapWatch
{
public:
    explicit MapWatch(const std::string &display)
        : m_connection(xcb_connect(display.c_str(), nullptr))
    {
        if (xcb_connection_has_error(m_connection))
            throw Failure("cannot connect to the X server on " + display);
        m_root = xcb_setup_roots_iterator(xcb_get_setup(m_connection)).data->root;
        const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
        xcb_change_window_attributes(m_connection, m_root, XCB_CW_EVENT_MASK, &mask);
        xcb_flush(m_connection);
    }
    ~MapWatch() { xcb_disconnect(m_connection); }
    MapWatch(const MapWatch &) = delete;
    MapWatch &operator=(const MapWatch &) = delete;

    // The moment a window with this title was mapped; nothing when the program
    // ended or the time ran out first.
    std::optional<Clock::time_point> waitForMapped(const std::string &title, pid_t program, int timeoutMs)
    {
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            while (xcb_generic_event_t *event = xcb_poll_for_event(m_connection)) {
                const Clock::time_point seen = Clock::now();
                const bool mapped = (event->response_type & 0x7F) == XCB_MAP_NOTIFY;
                const xcb_window_t window = mapped ? reinterpret_cast<xcb_map_notify_event_t *>(event)->window : 0;
                std::free(event);
                if (mapped && titleOf(window) == title)
                    return seen;
            }
            if (xcb_connection_has_error(m_connection) || ::waitpid(program, nullptr, WNOHANG) == program)
                return std::nullopt;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0)
                return std::nullopt;
            pollfd connection = {xcb_get_file_descriptor(m_connection), POLLIN, 0};
            ::poll(&connection, 1, int(std::min<long long>(left.count(), 50)));
        }
    }

private:
    std::string titleOf(xcb_window_t window)
    {
        const xcb_get_property_cookie_t cookie =
            xcb_get_property(m_connection, 0, window, XCB_ATOM_WM_NAME, XCB_GET_PROPERTY_TYPE_ANY, 0, 256);
        xcb_get_property_reply_t *reply = xcb_get_property_reply(m_connection, cookie, nullptr);
        if (!reply)
            return std::string();
        const std::string title(static_cast<const char *>(xcb_get_property_value(reply)),
                                std::size_t(xcb_get_property_value_length(reply)));
        std::free(reply);
        return title;
    }

    xcb_connection_t *m_connection = nullptr;
    xcb_window_t m_root = 0;
};

// The programs start as from a desktop: on the X server, with no Qt platform
// chosen for them, in the same sandboxed settings store as the rest.
std::vector<std::string> childEnvironment(const std::string &display)
{
    std::vector<std::string> variables;
    for (char **entry = environ; *entry; ++entry) {
        const std::string variable = *entry;
        if (variable.rfind("DISPLAY=", 0) != 0 && variable.rfind("QT_QPA_PLATFORM=", 0) != 0
            && variable.rfind("WAYLAND_DISPLAY=", 0) != 0)
            variables.push_back(variable);
    }
    variables.push_back("DISPLAY=" + display);
    return variables;
}

Launch launch(MapWatch &watch, const std::string &display, const char *program, const std::string &title)
{
    std::vector<std::string> variables = childEnvironment(display);
    std::vector<char *> envp;
    for (std::string &variable : variables)
        envp.push_back(variable.data());
    envp.push_back(nullptr);
    std::string path = program;
    char *argv[] = {path.data(), nullptr};

    // Their notes on the terminal would break up the table.
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&quiet, STDERR_FILENO, "/dev/null", O_WRONLY, 0);

    pid_t pid = 0;
    const Clock::time_point started = Clock::now();
    const int spawned = ::posix_spawn(&pid, path.c_str(), &quiet, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&quiet);
    if (spawned != 0)
        throw Failure("cannot start " + path + ": " + std::strerror(spawned));
    const std::optional<Clock::time_point> mapped = watch.waitForMapped(title, pid, 10000);
    Launch result;
    if (mapped) {
        result.startMs = std::chrono::duration<double, std::milli>(*mapped - started).count();
        std::this_thread::sleep_for(std::chrono::milliseconds(SettleAfterMapMs));
        result.rssMiB = ResidentMiB(pid);
    }
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
    if (!mapped)
        throw Failure(path + " showed no window titled \"" + title + "\"");
    return result;
}

} // namespace

StartupSeries Startups(int runs, const std::string &xvfb)
{
    PrivateDisplay display(xvfb);
    MapWatch watch(display.name());
    StartupSeries series;
    // The first pair only warms the caches.
    for (int run = 0; run <= runs; ++run) {
        Launch velmora, minimal;
        // Alternated, so that neither always runs right after the other.
        if (run % 2) {
            minimal = launch(watch, display.name(), MINIMAL_WIDGETS, "Minimal");
            velmora = launch(watch, display.name(), VELMORA_PROGRAM, "Authentication");
        } else {
            velmora = launch(watch, display.name(), VELMORA_PROGRAM, "Authentication");
            minimal = launch(watch, display.name(), MINIMAL_WIDGETS, "Minimal");
        }
        if (run == 0)
            continue;
        series.velmoraMs.add(velmora.startMs);
        series.minimalMs.add(minimal.startMs);
        series.velmoraMiB.add(velmora.rssMiB);
        series.minimalMiB.add(minimal.rssMiB);
        series.timeRatio.add(velmora.startMs / minimal.startMs);
        series.memoryRatio.add(velmora.rssMiB / minimal.rssMiB);
    }
    return series;
}


} // namespace velmora_bench
