// tarvex-sim: plays a Tarvex base on a pseudo-terminal, maps it to a COM number
// in the settings store for as long as it runs, and prints what every byte did.
#include "app_settings/settings_keys.h"
#include "platform/serial/port_map.h"
#include "platform/settings/settings_store.h"
#include "simulator/line_state_file.h"
#include "simulator/tarvex_model.h"

#include <QString>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <dirent.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#ifdef __linux__
#include <climits>
#include <sys/inotify.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;

const char UsageHead[] =
    "usage: tarvex-sim [--com N] [--silent | --answer-delay MS] [--off] [--at MS CONTROL]...\n"
    "                  [--quiet] [--no-stdin] [--timestamps]\n"
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
    "                     the system's monotonic clock (CLOCK_MONOTONIC on Linux) in\n"
    "                     seconds with microseconds, e.g. \"8123.456789 rx 0x80 ...\";\n"
    "                     an rx line has the time its byte was read\n"
    "  --help             print this text\n"
    "\n"
    "Controls, one a line on standard input (or with --at):\n";

const char UsageTail[] =
    "\n"
    "Output, one line each, flushed at once:\n"
    "  rx 0x56 insert fault 3 | faults=3 mods=none      a byte received\n"
    "  tx 0xA5 answer to the probe, 300 ms late | ...   a late answer sent\n"
    "  port opened, 1 open                              (Linux) a program opened\n"
    "  port closed, 0 open                                or closed the terminal\n"
    "  cts: CTS off | power on, cable in, CTS off ...   a control and the lines after it\n"
    "  tarvex-sim: ...                                  start, stop and errors\n"
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

enum class ControlKind { PowerOff, PowerOn, Cable, Break, Noise, Cts, Dsr, Cd, Help };

struct Control
{
    ControlKind kind;
    const char *name;
    const char *what;
};

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

std::string controlList()
{
    std::string text;
    for (const Control &control : Controls) {
        std::string name = control.name;
        name.resize(15, ' ');
        text += "  " + name + control.what + "\n";
    }
    return text;
}

const Control *findControl(const std::string &text)
{
    for (const Control &control : Controls) {
        if (text == control.name)
            return &control;
    }
    return nullptr;
}

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
    if (text.empty() || text.size() > 7
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
            std::fputs((UsageHead + controlList() + UsageTail).c_str(), stdout);
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
            const Control *control = findControl(argv[++i]);
            if (!at || !control) {
                printError("--at takes milliseconds from 0 to 3600000 and a control, not \"" + std::string(argv[i - 1])
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

#ifdef __linux__
// Hands each event waiting on an inotify descriptor to `take`.
template <typename Take>
void takeWatchEvents(int fd, Take take)
{
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0)
            break;
        for (ssize_t at = 0; at < n;) {
            const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
            take(*event);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
}
#endif

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
    int heldSlave() const { return m_heldSlave; }
    const std::string &slavePath() const { return m_slavePath; }
    // 7 for /dev/pts/7.
    int number() const { return std::atoi(m_slavePath.c_str() + m_slavePath.rfind('/') + 1); }

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
        takeWatchEvents(m_fd, [&changes](const inotify_event &event) {
            if (event.mask & IN_OPEN)
                changes.push_back(+1);
            if (event.mask & IN_CLOSE)
                changes.push_back(-1);
        });
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

// The simulator's folder, made private to the user; a folder of another owner
// or a symbolic link in its place is refused.
bool makePrivateFolder(const std::string &path, std::string *error)
{
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        *error = "cannot make " + path + ": " + std::strerror(errno);
        return false;
    }
    struct stat info = {};
    if (::lstat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::getuid()) {
        *error = path + " is not a folder of this user";
        return false;
    }
    return true;
}

// COM N leads to the terminal through a symbolic link of ours to the
// descriptor that this process holds on it (/proc/PID/fd/FD): when the
// simulator ends, however it ends, the link leads nowhere, and a program that
// opens COM N is told the port is not there instead of reaching whatever
// terminal gets the number next.
class PortLink
{
public:
    PortLink(const std::string &folder, int com)
        : m_path(folder + "/COM" + std::to_string(com) + "-" + std::to_string(::getpid()))
    {}
    PortLink(const PortLink &) = delete;
    PortLink &operator=(const PortLink &) = delete;
    ~PortLink() { remove(); }

    const std::string &path() const { return m_path; }

    bool leadTo(const PseudoTerminal &terminal, std::string *error)
    {
        remove();
#ifdef __linux__
        const std::string target =
            "/proc/" + std::to_string(::getpid()) + "/fd/" + std::to_string(terminal.heldSlave());
#else
        // Without /proc the link names the terminal itself, and only a stop
        // that lets the simulator tidy up removes it.
        const std::string target = terminal.slavePath();
#endif
        if (::symlink(target.c_str(), m_path.c_str()) != 0) {
            *error = "cannot make the link " + m_path + ": " + std::strerror(errno);
            return false;
        }
        return true;
    }
    void remove() { ::unlink(m_path.c_str()); }

    // Links that simulators killed before they could tidy up left behind.
    static void removeDeadLinks(const std::string &folder)
    {
        DIR *entries = ::opendir(folder.c_str());
        if (!entries)
            return;
        while (const dirent *entry = ::readdir(entries)) {
            const std::string path = folder + '/' + entry->d_name;
            struct stat info = {};
            if (std::strncmp(entry->d_name, "COM", 3) == 0 && ::lstat(path.c_str(), &info) == 0
                && S_ISLNK(info.st_mode) && ::stat(path.c_str(), &info) != 0)
                ::unlink(path.c_str());
        }
        ::closedir(entries);
    }

private:
    std::string m_path;
};

// Maps COM N to the simulator's link and puts back what was there before.
class PortRegistration
{
public:
    PortRegistration(int com, const std::string &simulatorFolder)
        : m_key(platform::port_map::Key(com))
        , m_simulatorFolder(QString::fromStdString(simulatorFolder) + QLatin1Char('/'))
    {}

    bool registerPath(const std::string &path, std::string *report)
    {
        m_path = QString::fromStdString(path);
        // No stored value can hold a line break, so this default marks "absent".
        const QString absent = QStringLiteral("\n");
        const QString before = read(absent);
        // What a simulator killed before it could tidy up left is no one's to restore.
        const bool simulators = isSimulators(before);
        if (before != absent && !simulators)
            m_previous = before;
        if (!platform::SettingsStore::write(settings_keys::Application, platform::port_map::Section, m_key,
                                            m_path)) {
            *report = "cannot write " + m_key.toStdString() + " to " + location();
            return false;
        }
        *report = m_key.toStdString() + " = " + path + ", mapped in " + location();
        if (m_previous)
            *report += " (it was " + m_previous->toStdString() + ")";
        else if (simulators)
            *report += " (it was " + before.toStdString() + ", left by a simulator, not kept)";
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
            if (!platform::SettingsStore::write(settings_keys::Application, platform::port_map::Section, m_key,
                                                *m_previous)) {
                *report = "could not set " + key + " back to " + m_previous->toStdString() + " in " + location();
                return false;
            }
            *report = key + " set back to " + m_previous->toStdString();
            return true;
        }
        if (!platform::SettingsStore::remove(settings_keys::Application, platform::port_map::Section, m_key)) {
            *report = "could not remove " + key + " from " + location();
            return false;
        }
        *report = key + " removed again";
        return true;
    }

private:
    // A link in the simulators' folder, or a pseudo-terminal as earlier
    // simulators mapped them.
    bool isSimulators(const QString &value) const
    {
        const QString path = value.trimmed();
        return path.startsWith(m_simulatorFolder) || path.startsWith(QLatin1String("/dev/pts/"));
    }
    QString read(const QString &fallback) const
    {
        return platform::SettingsStore::read(settings_keys::Application, platform::port_map::Section, m_key,
                                             fallback);
    }
    static std::string location()
    {
        return platform::SettingsStore::location(settings_keys::Application).toStdString();
    }

    QString m_key;
    QString m_simulatorFolder;
    QString m_path;
    std::optional<QString> m_previous;
};

// The base's modem lines as the fixture on the other end reads them, and
// whether it does.
class LinePublisher
{
public:
    explicit LinePublisher(std::string folder)
        : m_folder(std::move(folder))
    {
#ifdef __linux__
        m_watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (m_watch >= 0 && ::inotify_add_watch(m_watch, m_folder.c_str(), IN_OPEN) < 0) {
            ::close(m_watch);
            m_watch = -1;
        }
#endif
    }
    LinePublisher(const LinePublisher &) = delete;
    LinePublisher &operator=(const LinePublisher &) = delete;
    ~LinePublisher()
    {
        withdraw();
        if (m_watch >= 0)
            ::close(m_watch);
    }

    int watchFd() const { return m_watch; }
    line_state_file::LineState &state() { return m_state; }

    // Lines that simulators killed before they could tidy up left behind.
    static void removeDeadStates(const std::string &folder)
    {
        DIR *entries = ::opendir(folder.c_str());
        if (!entries)
            return;
        while (const dirent *entry = ::readdir(entries)) {
            const std::string path = folder + '/' + entry->d_name;
            std::FILE *file = std::strncmp(entry->d_name, "pts", 3) == 0 ? std::fopen(path.c_str(), "r") : nullptr;
            if (!file)
                continue;
            char text[256] = {};
            const bool read = std::fgets(text, sizeof text, file) != nullptr;
            std::fclose(file);
            line_state_file::LineState state;
            if (read && line_state_file::Parse(text, &state) && ::kill(pid_t(state.writer), 0) == -1 && errno == ESRCH)
                ::unlink(path.c_str());
        }
        ::closedir(entries);
    }
    bool seenByFixture() const { return m_seen; }

    // A new terminal starts with no changes counted.
    void startTerminal(int number)
    {
        withdraw();
        m_file = line_state_file::PathFor(m_folder, number);
        m_name = m_file.substr(m_file.rfind('/') + 1);
        const int bits = m_state.bits;
        m_state = line_state_file::LineState();
        m_state.writer = ::getpid();
        m_state.bits = bits;
        m_seen = false;
    }
    bool publish() const { return m_file.empty() || line_state_file::Write(m_file, m_state); }
    void withdraw()
    {
        if (!m_file.empty())
            ::unlink(m_file.c_str());
        m_file.clear();
    }
    // A program opened the port: whether it reads the lines is yet to be seen.
    void portOpened() { m_seen = false; }

    // Notes the fixture's reads of the published file.
    void takeReads()
    {
#ifdef __linux__
        takeWatchEvents(m_watch, [this](const inotify_event &event) {
            if (event.len > 0 && m_name == event.name)
                m_seen = true;
        });
#endif
    }

private:
    std::string m_folder;
    std::string m_file;
    std::string m_name;
    line_state_file::LineState m_state;
    int m_watch = -1;
    bool m_seen = false;
};

class Simulator
{
public:
    Simulator(const Options &options, PortLink &link, LinePublisher &lines)
        : m_options(options)
        , m_link(link)
        , m_lines(lines)
        , m_started(Clock::now())
    {
        m_poweredOn = !options.off;
        m_lines.state().bits = m_poweredOn ? BaseLines : 0;
        for (const TimedControl &timed : options.timedControls)
            m_timed.insert({m_started + std::chrono::milliseconds(timed.atMs), timed.control});
    }

    struct Stop
    {
        std::string why;
        bool failed = false;
    };

    // Takes a terminal and leads the link to it; says what it did.
    bool plugIn(std::string *report)
    {
        auto terminal = std::make_unique<PseudoTerminal>();
        if (!terminal->open(report))
            return false;
        // Watched before the path is told to anybody, so no client's open is missed.
        auto clients = std::make_unique<ClientWatch>(terminal->slavePath());
        m_lines.startTerminal(terminal->number());
        if (!m_lines.publish()) {
            *report = "cannot publish the lines in " + line_state_file::Folder() + ": " + std::strerror(errno);
            return false;
        }
        if (!m_link.leadTo(*terminal, report))
            return false;
        m_terminal = std::move(terminal);
        m_clients = std::move(clients);
        *report = m_link.path() + " leads to " + m_terminal->slavePath();
        return true;
    }

    // The device goes away as an unplugged adapter does: the link leads
    // nowhere, and whoever has the terminal open finds it hung up.
    void unplug()
    {
        m_hangUpAt.reset();
        m_link.remove();
        m_lines.withdraw();
        m_clients.reset();
        m_terminal.reset();
        m_pending.clear();
    }

    // Runs until a stop signal, the end of standard input or a failure of the
    // terminal.
    Stop run()
    {
        bool watchStdin = m_options.watchStdin;
        for (;;) {
            std::vector<pollfd> fds;
            fds.push_back({m_terminal ? m_terminal->master() : -1, POLLIN, 0});
            fds.push_back({g_signalPipe[0], POLLIN, 0});
            fds.push_back({m_clients ? m_clients->fd() : -1, POLLIN, 0});
            fds.push_back({watchStdin ? STDIN_FILENO : -1, POLLIN, 0});
            fds.push_back({m_lines.watchFd(), POLLIN, 0});

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
                m_clients && (fds[2].revents & POLLIN) ? m_clients->takeChanges() : std::vector<int>();
            reportClients(changes, +1);
            if (fds[4].revents & POLLIN)
                m_lines.takeReads();
            if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
                if (std::optional<std::string> failure = readTerminal())
                    return {*failure, true};
            }
            reportClients(changes, -1);
            if (fds[3].revents & POLLNVAL) {
                watchStdin = false;
            } else if (fds[3].revents & (POLLIN | POLLHUP | POLLERR)) {
                if (!readControls())
                    return {"stopped at the end of standard input"};
            }
            sendDueAnswers();
            runDueActions();
        }
    }

private:
    static constexpr int BaseLines = line_state_file::Cts | line_state_file::Dsr | line_state_file::Cd;
    // Between the lines dropping and the terminal hanging up when the cable is
    // pulled: long enough for a program that polls the lines to see both.
    static constexpr std::chrono::milliseconds CableHangUpDelay{30};

    struct PendingAnswer
    {
        Clock::time_point due;
        std::uint8_t byte = 0;
    };

    int pollTimeout() const
    {
        std::optional<Clock::time_point> next;
        const auto earliest = [&next](Clock::time_point due) {
            if (!next || due < *next)
                next = due;
        };
        if (!m_pending.empty())
            earliest(m_pending.front().due);
        if (!m_timed.empty())
            earliest(m_timed.begin()->first);
        if (m_hangUpAt)
            earliest(*m_hangUpAt);
        if (!next)
            return -1;
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*next - Clock::now());
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
        const ssize_t n = ::read(m_terminal->master(), buffer, sizeof buffer);
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
        if (!m_poweredOn) {
            event("rx " + tarvex::hexByte(byte) + " ignored, the base is off | " + m_model.stateText(), readAt);
            return;
        }
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
            if (m_clients->openCount() == 0)
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

    bool cableIn() const { return m_terminal && !m_hangUpAt; }

    void hangUp()
    {
        unplug();
        event("cable: terminal hung up; " + m_link.path() + " leads nowhere");
    }

    void runDueActions()
    {
        if (m_hangUpAt && *m_hangUpAt <= Clock::now())
            hangUp();
        while (!m_timed.empty() && m_timed.begin()->first <= Clock::now()) {
            const Control *control = m_timed.begin()->second;
            m_timed.erase(m_timed.begin());
            apply(*control);
        }
    }

    void reportClients(const std::vector<int> &changes, int which)
    {
        for (int change : changes) {
            if (change != which)
                continue;
            const int open = m_clients->apply(change);
            if (change < 0 && open == 0)
                m_terminal->portFreed();
            if (change > 0)
                m_lines.portOpened();
            event(std::string(change > 0 ? "port opened, " : "port closed, ") + std::to_string(open)
                  + " open");
        }
    }

    // False at the end of standard input.
    bool readControls()
    {
        char buffer[256];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
            return false;
        if (n > 0)
            m_input.append(buffer, std::size_t(n));
        std::size_t end = 0;
        while ((end = m_input.find('\n')) != std::string::npos) {
            std::string line = m_input.substr(0, end);
            m_input.erase(0, end + 1);
            // Blanks around the words and between them do not count.
            std::string words;
            for (std::size_t at = 0; at < line.size();) {
                const std::size_t start = line.find_first_not_of(" \t\r", at);
                if (start == std::string::npos)
                    break;
                const std::size_t stop = std::min(line.find_first_of(" \t\r", start), line.size());
                words += (words.empty() ? "" : " ") + line.substr(start, stop - start);
                at = stop;
            }
            if (words.empty())
                continue;
            if (const Control *control = findControl(words))
                apply(*control);
            else
                event("unknown control \"" + words + "\"; \"help\" lists them");
        }
        return true;
    }

    // Counts a change of each given line, as a serial driver does.
    void changeLines(int bits)
    {
        line_state_file::LineState &lines = m_lines.state();
        lines.bits ^= bits;
        lines.cts += (bits & line_state_file::Cts) ? 1 : 0;
        lines.dsr += (bits & line_state_file::Dsr) ? 1 : 0;
        lines.cd += (bits & line_state_file::Cd) ? 1 : 0;
    }

    void apply(const Control &control)
    {
        line_state_file::LineState &lines = m_lines.state();
        std::string what;
        switch (control.kind) {
        case ControlKind::Help: {
            // Asked for, so printed even with --quiet.
            const std::string list = controlList();
            printLine("controls:\n" + list.substr(0, list.size() - 1));
            return;
        }
        case ControlKind::PowerOff:
            m_poweredOn = false;
            changeLines(lines.bits & BaseLines);
            what = "the base is off";
            break;
        case ControlKind::PowerOn:
            if (!m_poweredOn)
                m_model = tarvex::BaseModel();
            m_poweredOn = true;
            changeLines(~lines.bits & BaseLines);
            what = "the base is on";
            break;
        case ControlKind::Cable:
            if (cableIn()) {
                changeLines(lines.bits & BaseLines);
                m_hangUpAt = Clock::now() + CableHangUpDelay;
                what = "pulled: the lines drop, the terminal hangs up in "
                    + std::to_string(CableHangUpDelay.count()) + " ms";
            } else {
                if (m_terminal)
                    hangUp();
                // The cable brings the base's lines back as they are.
                lines.bits = m_poweredOn ? BaseLines : 0;
                std::string report;
                if (!plugIn(&report)) {
                    event("cable: cannot plug in again: " + report);
                    return;
                }
                what = "plugged in again, " + report;
            }
            break;
        case ControlKind::Break:
            ++lines.breaks;
            what = "a break";
            break;
        case ControlKind::Noise:
            ++lines.frame;
            ++lines.parity;
            what = "a framing and a parity error";
            if (m_terminal)
                what += std::string(", garbled bytes 0x00 0xFF") + (send(0x00) && send(0xFF) ? "" : " not") + " sent";
            break;
        case ControlKind::Cts:
            changeLines(line_state_file::Cts);
            what = std::string("CTS ") + onOff(lines.bits & line_state_file::Cts);
            break;
        case ControlKind::Dsr:
            changeLines(line_state_file::Dsr);
            what = std::string("DSR ") + onOff(lines.bits & line_state_file::Dsr);
            break;
        case ControlKind::Cd:
            changeLines(line_state_file::Cd);
            what = std::string("CD ") + onOff(lines.bits & line_state_file::Cd);
            break;
        }
        if (m_terminal && !m_lines.publish())
            what += "; the lines could not be published: " + std::string(std::strerror(errno));
        event(std::string(control.name) + ": " + what + " | " + lineText());
    }

    static const char *onOff(int bit) { return bit ? "on" : "off"; }

    // "power on, cable in, CTS on, DSR on, CD on", and whether anyone sees them.
    std::string lineText() const
    {
        const int bits = m_lines.state().bits;
        std::string text = std::string("power ") + onOff(m_poweredOn) + ", cable " + (cableIn() ? "in" : "out")
            + ", CTS " + onOff(bits & line_state_file::Cts) + ", DSR " + onOff(bits & line_state_file::Dsr)
            + ", CD " + onOff(bits & line_state_file::Cd);
        if (m_terminal && !m_lines.seenByFixture())
            text += " (the other end does not read the lines: that needs a real serial port or the modem-line fixture)";
        return text;
    }

    bool send(std::uint8_t byte)
    {
        for (;;) {
            const ssize_t n = ::write(m_terminal->master(), &byte, 1);
            if (n == 1)
                return true;
            if (n < 0 && errno == EINTR)
                continue;
            return false;
        }
    }

    const Options &m_options;
    PortLink &m_link;
    LinePublisher &m_lines;
    const Clock::time_point m_started;
    std::unique_ptr<PseudoTerminal> m_terminal;
    std::unique_ptr<ClientWatch> m_clients;
    tarvex::BaseModel m_model;
    bool m_poweredOn = true;
    std::deque<PendingAnswer> m_pending;
    std::multimap<Clock::time_point, const Control *> m_timed;
    std::optional<Clock::time_point> m_hangUpAt;
    std::string m_input;
};

std::string answerText(const Options &options)
{
    if (options.silent)
        return "never answers the probe";
    std::string text = "answers the probe with " + tarvex::hexByte(tarvex::ProbeAnswer);
    if (options.answerDelayMs > 0)
        text += " after " + std::to_string(options.answerDelayMs) + " ms";
    return text + (options.off ? " once switched on (it starts off)" : "");
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
    const std::string folder = line_state_file::SimulatorFolder();
    if (!makePrivateFolder(folder, &error) || !makePrivateFolder(line_state_file::Folder(), &error)) {
        printError(error);
        return 1;
    }
    PortLink::removeDeadLinks(folder);
    LinePublisher::removeDeadStates(line_state_file::Folder());
    PortLink link(folder, options.com);
    LinePublisher lines(line_state_file::Folder());
    Simulator simulator(options, link, lines);
    std::string plugged;
    if (!simulator.plugIn(&plugged)) {
        printError(plugged);
        return 1;
    }
    PortRegistration registration(options.com, folder);
    std::string report;
    if (!registration.registerPath(link.path(), &report)) {
        printError(report);
        return 1;
    }
    printLine("tarvex-sim: " + report);
    printLine("tarvex-sim: " + plugged + "; its lines are published in " + line_state_file::Folder());
    printLine("tarvex-sim: " + answerText(options) + "; stop with Ctrl-C"
              + (options.watchStdin ? ", end of input" : "") + " or SIGTERM"
              + (options.watchStdin ? "; \"help\" lists the controls" : ""));

    const Simulator::Stop stop = simulator.run();
    // The device goes first, as it would with the power, and the store after.
    simulator.unplug();
    const bool restored = registration.restore(&report);
    printLine("tarvex-sim: " + stop.why + "; terminal closed; " + report);
    return stop.failed || !restored ? 1 : 0;
}
