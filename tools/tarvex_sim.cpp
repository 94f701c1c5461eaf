// tarvex-sim: plays a Tarvex base on a pseudo-terminal, maps it to a COM number
// in the settings store for as long as it runs, and prints what every byte did.
#include "platform/settings_keys.h"
#include "platform/settings_store.h"
#include "tools/tarvex_model.h"

#include <QString>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#ifdef __linux__
#include <climits>
#include <dirent.h>
#include <sys/inotify.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;

const char UsageText[] =
    "usage: tarvex-sim [--com N] [--silent | --answer-delay MS] [--quiet] [--no-stdin]\n"
    "                  [--timestamps]\n"
    "\n"
    "Plays a Tarvex base on a new pseudo-terminal and maps it as COM N in the\n"
    "settings store (section Ports), so that Velmora finds it on that port.\n"
    "The line is meant as 2400 baud, even parity, 8 data bits, 2 stop bits; a\n"
    "pseudo-terminal ignores the speed, so bytes are simply read.\n"
    "\n"
    "Every probe 0xC0 is answered with one byte, 0xA5. 0x80 removes every fault\n"
    "and modification; 0x40+m and 0x60+m insert and remove modification m+1\n"
    "(m = 0..19); 0x54+f and 0x74+f insert and remove fault f+1 (f = 0..11).\n"
    "Any other byte is reported as unknown and changes nothing.\n"
    "\n"
    "Options:\n"
    "  --com N            map the terminal as COM N, 1 to 255 (default 1)\n"
    "  --silent           never answer the probe: Velmora says the base was not found\n"
    "  --answer-delay MS  answer the probe MS milliseconds late, 0 to 60000 (default 0)\n"
    "  --quiet            print only the start and stop lines, not one line per byte\n"
    "  --no-stdin         do not stop at the end of standard input (for running it\n"
    "                     in the background with no input)\n"
    "  --timestamps       begin every rx, tx and port line with the time of the\n"
    "                     system's monotonic clock (CLOCK_MONOTONIC on Linux) in\n"
    "                     seconds with microseconds, e.g. \"8123.456789 rx 0x80 ...\";\n"
    "                     an rx line has the time its byte was read\n"
    "  --help             print this text\n"
    "\n"
    "Output, one line each, flushed at once:\n"
    "  rx 0x56 insert fault 3 | faults=3 mods=none      a byte received\n"
    "  tx 0xA5 answer to the probe, 300 ms late | ...   a late answer sent\n"
    "  port opened, 1 open                              (Linux) a program opened\n"
    "  port closed, 0 open                                or closed the terminal\n"
    "  tarvex-sim: ...                                  start, stop and errors\n"
    "Every rx and tx line ends with the board's state: the inserted faults and\n"
    "modifications, ascending, separated by commas, or \"none\".\n"
    "\n"
    "Ctrl-C, SIGTERM, SIGHUP or the end of standard input stop it: COM N gets\n"
    "back the value it had before (or is removed if it had none), unless someone\n"
    "changed it meanwhile, and the terminal is closed, so a program that has it\n"
    "open sees its device vanish.\n";

struct Options
{
    int com = 1;
    bool silent = false;
    int answerDelayMs = 0;
    bool quiet = false;
    bool watchStdin = true;
    bool timestamps = false;
};

void printLine(const std::string &line)
{
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void printError(const std::string &message)
{
    std::fprintf(stderr, "tarvex-sim: %s\n", message.c_str());
    std::fflush(stderr);
}

std::optional<int> parseNumber(std::string text, int lowest, int highest)
{
    if (text.empty() || text.size() > 6
        || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    const int value = std::stoi(text);
    if (value < lowest || value > highest)
        return std::nullopt;
    return value;
}

// Returns an exit code when the program should end at once.
std::optional<int> parseOptions(int argc, char *argv[], Options *options)
{
    bool delayGiven = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--help" || arg == "-h") {
            std::fputs(UsageText, stdout);
            return 0;
        } else if (arg == "--silent") {
            options->silent = true;
        } else if (arg == "--quiet") {
            options->quiet = true;
        } else if (arg == "--no-stdin") {
            options->watchStdin = false;
        } else if (arg == "--timestamps") {
            options->timestamps = true;
        } else if (arg == "--com" && hasValue) {
            std::string value = argv[++i];
            if (value.size() > 3 && strncasecmp(value.c_str(), "COM", 3) == 0)
                value.erase(0, 3);
            const std::optional<int> com = parseNumber(value, 1, 255);
            if (!com) {
                printError("--com takes a port number from 1 to 255, not \"" + std::string(argv[i]) + "\"");
                return 2;
            }
            options->com = *com;
        } else if (arg == "--answer-delay" && hasValue) {
            const std::optional<int> delay = parseNumber(argv[++i], 0, 60000);
            if (!delay) {
                printError("--answer-delay takes milliseconds from 0 to 60000, not \"" + std::string(argv[i])
                           + "\"");
                return 2;
            }
            options->answerDelayMs = *delay;
            delayGiven = true;
        } else {
            printError("unknown option or missing value: " + arg + " (see --help)");
            return 2;
        }
    }
    if (options->silent && delayGiven) {
        printError("--silent never answers, so --answer-delay makes no sense with it");
        return 2;
    }
    return std::nullopt;
}

// Signals only write their number into this pipe; the main loop reads it.
int g_signalPipe[2] = {-1, -1};

extern "C" void onStopSignal(int signalNumber)
{
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    [[maybe_unused]] const ssize_t written = ::write(g_signalPipe[1], &byte, 1);
    errno = savedErrno;
}

bool installSignalHandlers(std::string *error)
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

const char *signalName(int signalNumber)
{
    switch (signalNumber) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    default: return "a signal";
    }
}

// The master side stays with us; we also keep the slave side open ourselves, so
// that a client closing the port does not hang the terminal up: the master
// keeps working and the next client finds the same device with our settings.
class PseudoTerminal
{
public:
    PseudoTerminal() = default;
    PseudoTerminal(const PseudoTerminal &) = delete;
    PseudoTerminal &operator=(const PseudoTerminal &) = delete;
    ~PseudoTerminal() { close(); }

    bool open(std::string *error)
    {
        m_master = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0) {
            *error = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
            return false;
        }
        const char *name = ::ptsname(m_master);
        if (!name) {
            *error = std::string("cannot name the pseudo-terminal: ") + std::strerror(errno);
            return false;
        }
        m_slavePath = name;
        m_heldSlave = ::open(m_slavePath.c_str(), O_RDWR | O_NOCTTY);
        if (m_heldSlave < 0) {
            *error = "cannot open " + m_slavePath + ": " + std::strerror(errno);
            return false;
        }
        ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
        ::fcntl(m_master, F_SETFD, FD_CLOEXEC);
        ::fcntl(m_heldSlave, F_SETFD, FD_CLOEXEC);

        // Raw, so that no echo, line editing or signal character touches the bytes
        // of a client that does not set up the line itself.
        termios line = {};
        if (::tcgetattr(m_heldSlave, &line) == 0) {
            ::cfmakeraw(&line);
            line.c_cflag |= CREAD | CLOCAL | PARENB | CSTOPB;
            ::cfsetispeed(&line, B2400);
            ::cfsetospeed(&line, B2400);
            ::tcsetattr(m_heldSlave, TCSANOW, &line);
        }
        return true;
    }

    void close()
    {
        if (m_heldSlave >= 0)
            ::close(m_heldSlave);
        if (m_master >= 0)
            ::close(m_master);
        m_heldSlave = m_master = -1;
    }

    // Nobody has the port open any more: what a real line would have lost on the
    // way goes, and an exclusive lock that a client left behind is lifted.
    void portFreed()
    {
        ::tcflush(m_heldSlave, TCIFLUSH);
#ifdef TIOCNXCL
        ::ioctl(m_heldSlave, TIOCNXCL);
#endif
    }

    int master() const { return m_master; }
    const std::string &slavePath() const { return m_slavePath; }

private:
    int m_master = -1;
    int m_heldSlave = -1;
    std::string m_slavePath;
};

// Counts the clients that have the slave side open, where the system tells
// opens and closes of a device file (Linux); elsewhere the count is unknown.
class ClientWatch
{
public:
    explicit ClientWatch(const std::string &path)
        : m_path(path)
    {
#ifdef __linux__
        m_fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (m_fd >= 0 && ::inotify_add_watch(m_fd, path.c_str(), IN_OPEN | IN_CLOSE) < 0) {
            ::close(m_fd);
            m_fd = -1;
        }
#else
        (void)path;
#endif
    }
    ClientWatch(const ClientWatch &) = delete;
    ClientWatch &operator=(const ClientWatch &) = delete;
    ~ClientWatch()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }

    int fd() const { return m_fd; }
    std::optional<int> openCount() const
    {
        return m_fd >= 0 ? std::optional<int>(m_open) : std::nullopt;
    }

    // Each open as +1 and each close as -1, in the order they happened; the
    // count follows only through apply().
    std::vector<int> takeChanges()
    {
        std::vector<int> changes;
#ifdef __linux__
        alignas(inotify_event) char buffer[4096];
        for (;;) {
            const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
            if (n <= 0)
                break;
            for (ssize_t at = 0; at < n;) {
                const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
                if (event->mask & IN_OPEN)
                    changes.push_back(+1);
                if (event->mask & IN_CLOSE)
                    changes.push_back(-1);
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
#endif
        return changes;
    }

    // Returns the new count. The system merges two opens in quick succession
    // (a client's probe and its real open) into one event, so at a close, where
    // it can tell, the count is what it says now.
    int apply(int change)
    {
        m_open = std::max(0, m_open + change);
        if (change < 0) {
            if (const std::optional<int> holders = countHolders())
                m_open = *holders;
        }
        return m_open;
    }

private:
    // The descriptors that other processes hold on the terminal, from /proc;
    // processes whose descriptors we may not read are not counted.
    std::optional<int> countHolders() const
    {
#ifdef __linux__
        DIR *processes = ::opendir("/proc");
        if (!processes)
            return std::nullopt;
        const std::string self = std::to_string(::getpid());
        int holders = 0;
        while (const dirent *process = ::readdir(processes)) {
            const std::string pid = process->d_name;
            if (pid == self || pid.find_first_not_of("0123456789") != std::string::npos)
                continue;
            const std::string fdDir = "/proc/" + pid + "/fd";
            DIR *fds = ::opendir(fdDir.c_str());
            if (!fds)
                continue;
            while (const dirent *fd = ::readdir(fds)) {
                char target[PATH_MAX];
                const std::string link = fdDir + '/' + fd->d_name;
                const ssize_t n = ::readlink(link.c_str(), target, sizeof target);
                if (n > 0 && m_path.compare(0, std::string::npos, target, std::size_t(n)) == 0)
                    ++holders;
            }
            ::closedir(fds);
        }
        ::closedir(processes);
        return holders;
#else
        (void)m_path;
        return std::nullopt;
#endif
    }

    std::string m_path;
    int m_fd = -1;
    int m_open = 0;
};

// Maps COM N to the terminal and puts back what was there before.
class PortRegistration
{
public:
    explicit PortRegistration(int com)
        : m_key(settings_keys::PortKey(com))
    {}

    bool registerPath(const std::string &path, std::string *report)
    {
        m_path = QString::fromStdString(path);
        // No stored value can hold a line break, so this default marks "absent".
        const QString absent = QStringLiteral("\n");
        const QString before = read(absent);
        if (before != absent)
            m_previous = before;
        if (!platform::SettingsStore::write(settings_keys::Application, settings_keys::SectionPorts, m_key,
                                            m_path)) {
            *report = "cannot write " + m_key.toStdString() + " to " + location();
            return false;
        }
        *report = m_key.toStdString() + " = " + path + ", mapped in " + location();
        if (m_previous)
            *report += " (it was " + m_previous->toStdString() + ")";
        return true;
    }

    // Leaves a value that somebody else wrote meanwhile alone. False when the
    // store could not be written.
    bool restore(std::string *report)
    {
        const std::string key = m_key.toStdString();
        const QString now = read(QStringLiteral("\n"));
        if (now != m_path) {
            *report = key + " left as it is: it was changed meanwhile";
            return true;
        }
        if (m_previous) {
            if (!platform::SettingsStore::write(settings_keys::Application, settings_keys::SectionPorts, m_key,
                                                *m_previous)) {
                *report = "could not set " + key + " back to " + m_previous->toStdString() + " in " + location();
                return false;
            }
            *report = key + " set back to " + m_previous->toStdString();
            return true;
        }
        if (!platform::SettingsStore::remove(settings_keys::Application, settings_keys::SectionPorts, m_key)) {
            *report = "could not remove " + key + " from " + location();
            return false;
        }
        *report = key + " removed again";
        return true;
    }

private:
    QString read(const QString &fallback) const
    {
        return platform::SettingsStore::read(settings_keys::Application, settings_keys::SectionPorts, m_key,
                                             fallback);
    }
    static std::string location()
    {
        return platform::SettingsStore::location(settings_keys::Application).toStdString();
    }

    QString m_key;
    QString m_path;
    std::optional<QString> m_previous;
};

class Simulator
{
public:
    Simulator(const Options &options, PseudoTerminal &terminal, ClientWatch &clients)
        : m_options(options)
        , m_terminal(terminal)
        , m_clients(clients)
    {}

    struct Stop
    {
        std::string why;
        bool failed = false;
    };

    // Runs until a stop signal, the end of standard input or a failure of the
    // terminal.
    Stop run()
    {
        bool watchStdin = m_options.watchStdin;
        for (;;) {
            std::vector<pollfd> fds;
            fds.push_back({m_terminal.master(), POLLIN, 0});
            fds.push_back({g_signalPipe[0], POLLIN, 0});
            fds.push_back({m_clients.fd(), POLLIN, 0});
            fds.push_back({watchStdin ? STDIN_FILENO : -1, POLLIN, 0});

            if (::poll(fds.data(), fds.size(), pollTimeout()) < 0) {
                if (errno == EINTR)
                    continue;
                return {std::string("poll failed: ") + std::strerror(errno), true};
            }
            if (fds[1].revents & POLLIN) {
                unsigned char signalNumber = 0;
                [[maybe_unused]] const ssize_t n = ::read(g_signalPipe[0], &signalNumber, 1);
                return {std::string("stopped by ") + signalName(signalNumber)};
            }
            // Opens that came with data are told first and closes last: a client
            // opens, writes and closes in that order, and an answer to a byte
            // sent just before a close is discarded with the close.
            const std::vector<int> changes =
                fds[2].revents & POLLIN ? m_clients.takeChanges() : std::vector<int>();
            reportClients(changes, +1);
            if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
                if (std::optional<std::string> failure = readTerminal())
                    return {*failure, true};
            }
            reportClients(changes, -1);
            if (fds[3].revents & POLLNVAL) {
                watchStdin = false;
            } else if (fds[3].revents & (POLLIN | POLLHUP | POLLERR)) {
                char buffer[256];
                const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
                if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
                    return {"stopped at the end of standard input"};
            }
            sendDueAnswers();
        }
    }

private:
    struct PendingAnswer
    {
        Clock::time_point due;
        std::uint8_t byte = 0;
    };

    int pollTimeout() const
    {
        if (m_pending.empty())
            return -1;
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(m_pending.front().due - Clock::now());
        return static_cast<int>(std::max<std::chrono::milliseconds::rep>(0, wait.count()));
    }

    void event(const std::string &line, Clock::time_point when = Clock::now())
    {
        if (m_options.quiet)
            return;
        if (!m_options.timestamps) {
            printLine(line);
            return;
        }
        const auto micros =
            std::chrono::duration_cast<std::chrono::microseconds>(when.time_since_epoch()).count();
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "%lld.%06lld ", static_cast<long long>(micros / 1000000),
                      static_cast<long long>(micros % 1000000));
        printLine(stamp + line);
    }

    std::optional<std::string> readTerminal()
    {
        unsigned char buffer[256];
        const ssize_t n = ::read(m_terminal.master(), buffer, sizeof buffer);
        const Clock::time_point readAt = Clock::now();
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return std::nullopt;
        if (n <= 0)
            return std::string("the pseudo-terminal failed: ") + (n < 0 ? std::strerror(errno) : "end of file");
        for (ssize_t i = 0; i < n; ++i)
            receive(buffer[i], readAt);
        return std::nullopt;
    }

    void receive(std::uint8_t byte, Clock::time_point readAt)
    {
        const tarvex::Effect effect = m_model.receive(byte);
        std::string what = tarvex::describe(effect);
        if (effect.answer) {
            if (m_options.silent) {
                what = "probe, not answered (--silent)";
            } else if (m_options.answerDelayMs > 0) {
                m_pending.push_back({Clock::now() + std::chrono::milliseconds(m_options.answerDelayMs),
                                     *effect.answer});
                what = "probe, answer " + tarvex::hexByte(*effect.answer) + " due in "
                    + std::to_string(m_options.answerDelayMs) + " ms";
            } else if (!send(*effect.answer)) {
                what = "probe, answer " + tarvex::hexByte(*effect.answer) + " could not be sent: "
                    + std::strerror(errno);
            }
        }
        event("rx " + tarvex::hexByte(byte) + ' ' + what + " | " + m_model.stateText(), readAt);
    }

    void sendDueAnswers()
    {
        while (!m_pending.empty() && m_pending.front().due <= Clock::now()) {
            const std::uint8_t byte = m_pending.front().byte;
            m_pending.pop_front();
            const std::string late = std::to_string(m_options.answerDelayMs) + " ms late";
            if (m_clients.openCount() == 0)
                event("tx " + tarvex::hexByte(byte) + " answer to the probe dropped, " + late
                      + ": nobody has the port open | " + m_model.stateText());
            else if (!send(byte))
                event("tx " + tarvex::hexByte(byte) + " answer to the probe could not be sent: "
                      + std::strerror(errno) + " | " + m_model.stateText());
            else
                event("tx " + tarvex::hexByte(byte) + " answer to the probe, " + late + " | "
                      + m_model.stateText());
        }
    }

    void reportClients(const std::vector<int> &changes, int which)
    {
        for (int change : changes) {
            if (change != which)
                continue;
            const int open = m_clients.apply(change);
            if (change < 0 && open == 0)
                m_terminal.portFreed();
            event(std::string(change > 0 ? "port opened, " : "port closed, ") + std::to_string(open)
                  + " open");
        }
    }

    bool send(std::uint8_t byte)
    {
        for (;;) {
            const ssize_t n = ::write(m_terminal.master(), &byte, 1);
            if (n == 1)
                return true;
            if (n < 0 && errno == EINTR)
                continue;
            return false;
        }
    }

    const Options &m_options;
    PseudoTerminal &m_terminal;
    ClientWatch &m_clients;
    tarvex::BaseModel m_model;
    std::deque<PendingAnswer> m_pending;
};

std::string answerText(const Options &options)
{
    if (options.silent)
        return "never answers the probe";
    std::string text = "answers the probe with " + tarvex::hexByte(tarvex::ProbeAnswer);
    if (options.answerDelayMs > 0)
        text += " after " + std::to_string(options.answerDelayMs) + " ms";
    return text;
}

} // namespace

int main(int argc, char *argv[])
{
    Options options;
    if (const std::optional<int> exitCode = parseOptions(argc, argv, &options))
        return *exitCode;

    std::string error;
    if (!installSignalHandlers(&error)) {
        printError(error);
        return 1;
    }
    PseudoTerminal terminal;
    if (!terminal.open(&error)) {
        printError(error);
        return 1;
    }
    // Watched before the path is told to anybody, so no client's open is missed.
    ClientWatch clients(terminal.slavePath());
    PortRegistration registration(options.com);
    std::string report;
    if (!registration.registerPath(terminal.slavePath(), &report)) {
        printError(report);
        return 1;
    }
    printLine("tarvex-sim: " + report);
    printLine("tarvex-sim: " + answerText(options) + "; stop with Ctrl-C"
              + (options.watchStdin ? ", end of input" : "") + " or SIGTERM");

    Simulator simulator(options, terminal, clients);
    const Simulator::Stop stop = simulator.run();
    const bool restored = registration.restore(&report);
    terminal.close();
    printLine("tarvex-sim: " + stop.why + "; " + report + "; terminal closed");
    return stop.failed || !restored ? 1 : 0;
}
