#include "tests/support/private_desktop.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#ifdef VELMORA_TEST_XCB
#include <xcb/xcb.h>
#endif

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::seconds StartTimeout{10};

// The first line a child writes to the pipe, without its line end; empty when
// none comes in time or the child closes the pipe first.
QByteArray readLine(int fd, Clock::time_point deadline)
{
    QByteArray line;
    while (Clock::now() < deadline) {
        pollfd ready{fd, POLLIN, 0};
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        const int polled = poll(&ready, 1, static_cast<int>(std::max<long long>(left.count(), 1)));
        if (polled < 0 && errno == EINTR)
            continue;
        if (polled <= 0)
            break;
        char c = 0;
        const ssize_t got = read(fd, &c, 1);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        if (c == '\n')
            return line;
        line += c;
    }
    return QByteArray();
}

bool exited(pid_t pid, Clock::time_point deadline)
{
    while (Clock::now() < deadline) {
        const pid_t done = waitpid(pid, nullptr, WNOHANG);
        if (done == pid || (done < 0 && errno == ECHILD))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

} // namespace

PrivateDesktop::PrivateDesktop(int parts)
{
    if (!start(parts))
        stop();
}

PrivateDesktop::~PrivateDesktop()
{
    stop();
}

bool PrivateDesktop::start(int parts)
{
    struct Program
    {
        const char *name;
        const char *package;
        bool wanted;
    };
    const Program programs[] = {{"Xvfb", "xvfb", true},
                                {"openbox", "openbox", (parts & WindowManager) != 0},
                                {"dbus-daemon", "dbus-daemon", (parts & SessionBus) != 0}};
    for (const Program &program : programs) {
        if (program.wanted && QStandardPaths::findExecutable(QLatin1String(program.name)).isEmpty()) {
            m_whyNot = QStringLiteral("%1 is not installed (Debian package %2)")
                           .arg(QLatin1String(program.name), QLatin1String(program.package));
            return false;
        }
    }
#ifndef VELMORA_TEST_XCB
    if (parts & WindowManager) {
        m_whyNot = QStringLiteral("built without xcb, which tells when the window manager runs");
        return false;
    }
#endif

    char runtimeDir[] = "/tmp/velmora-desktop-XXXXXX";
    if (!mkdtemp(runtimeDir)) {
        m_whyNot = QStringLiteral("no folder for the desktop's sockets");
        return false;
    }
    m_runtimeDir = runtimeDir;
    setenv("XDG_RUNTIME_DIR", runtimeDir, 1);

    const auto deadline = Clock::now() + StartTimeout;
    int reportFd = -1;
    if (spawn({"Xvfb", "-displayfd", "3", "-nolisten", "tcp", "-screen", "0", "1024x768x24"}, true, &reportFd)
        < 0) {
        m_whyNot = QStringLiteral("Xvfb did not start");
        return false;
    }
    const QByteArray display = readLine(reportFd, deadline);
    close(reportFd);
    if (display.isEmpty()) {
        m_whyNot = QStringLiteral("Xvfb did not say which display it took");
        return false;
    }
    setenv("DISPLAY", (":" + display).constData(), 1);

    if (parts & WindowManager) {
        if (spawn({"openbox", "--sm-disable"}, false, nullptr) < 0 || !waitForWindowManager()) {
            m_whyNot = QStringLiteral("openbox did not take over the display");
            return false;
        }
    }

    if (parts & SessionBus) {
        // The bus starts the accessibility bus and its registry as children of
        // its own; when it ends they end too, and are reaped here, not left
        // to an init that may not reap.
        m_reapsDescendants = prctl(PR_SET_CHILD_SUBREAPER, 1) == 0;
        if (spawn({"dbus-daemon", "--session", "--nofork", "--print-address=3"}, true, &reportFd) < 0) {
            m_whyNot = QStringLiteral("dbus-daemon did not start");
            return false;
        }
        const QByteArray address = readLine(reportFd, deadline);
        close(reportFd);
        if (address.isEmpty()) {
            m_whyNot = QStringLiteral("dbus-daemon did not say where its bus is");
            return false;
        }
        setenv("DBUS_SESSION_BUS_ADDRESS", address.constData(), 1);
        // Assistive tools must find the accessibility bus through this one.
        unsetenv("AT_SPI_BUS_ADDRESS");
    }
    return true;
}

// Output goes nowhere: Xvfb and openbox talk about fonts and the like.
// reportOnFd3 gives the child a pipe as its descriptor 3, read end returned.
pid_t PrivateDesktop::spawn(const std::vector<QByteArray> &arguments, bool reportOnFd3, int *reportFd)
{
    int report[2] = {-1, -1};
    if (reportOnFd3 && pipe2(report, O_CLOEXEC) != 0)
        return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    if (reportOnFd3)
        posix_spawn_file_actions_adddup2(&actions, report[1], 3);

    std::vector<char *> argv;
    for (const QByteArray &argument : arguments)
        argv.push_back(const_cast<char *>(argument.constData()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int failed = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (reportOnFd3) {
        close(report[1]);
        if (failed)
            close(report[0]);
        else
            *reportFd = report[0];
    }
    if (failed)
        return -1;
    m_children.push_back(pid);
    return pid;
}

// A window manager that follows the EWMH names itself on the root window.
bool PrivateDesktop::waitForWindowManager()
{
#ifdef VELMORA_TEST_XCB
    xcb_connection_t *connection = xcb_connect(nullptr, nullptr);
    bool running = false;
    if (!xcb_connection_has_error(connection)) {
        const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
        const char name[] = "_NET_SUPPORTING_WM_CHECK";
        xcb_intern_atom_reply_t *atom =
            xcb_intern_atom_reply(connection, xcb_intern_atom(connection, 0, sizeof name - 1, name), nullptr);
        const auto deadline = Clock::now() + StartTimeout;
        while (atom && !running && Clock::now() < deadline) {
            xcb_get_property_reply_t *reply = xcb_get_property_reply(
                connection, xcb_get_property(connection, 0, root, atom->atom, XCB_ATOM_WINDOW, 0, 1), nullptr);
            running = reply && xcb_get_property_value_length(reply) > 0;
            std::free(reply);
            if (!running)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        std::free(atom);
    }
    xcb_disconnect(connection);
    return running;
#else
    return false;
#endif
}

// Waits for the processes the bus started to end, and ends those that do not
// in time; each is this process's child by then.
void PrivateDesktop::reapDescendants()
{
    const auto deadline = Clock::now() + std::chrono::seconds(3);
    for (;;) {
        const pid_t done = waitpid(-1, nullptr, WNOHANG);
        if (done < 0 && errno == ECHILD)
            return;
        if (done > 0)
            continue;
        if (Clock::now() >= deadline)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const QString me = QString::number(getpid());
    const QStringList processes = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &process : processes) {
        QFile status(QStringLiteral("/proc/%1/stat").arg(process));
        if (!status.open(QIODevice::ReadOnly))
            continue;
        // pid (name) state ppid ...: the name may hold blanks, so count from its end.
        const QByteArray line = status.readAll();
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 1 && fields[1] == me.toLatin1())
            kill(static_cast<pid_t>(process.toInt()), SIGKILL);
    }
    while (waitpid(-1, nullptr, 0) > 0) {
    }
}

void PrivateDesktop::stop()
{
    for (auto child = m_children.rbegin(); child != m_children.rend(); ++child) {
        kill(*child, SIGTERM);
        if (!exited(*child, Clock::now() + std::chrono::seconds(3))) {
            kill(*child, SIGKILL);
            waitpid(*child, nullptr, 0);
        }
    }
    m_children.clear();
    if (m_reapsDescendants) {
        reapDescendants();
        prctl(PR_SET_CHILD_SUBREAPER, 0);
        m_reapsDescendants = false;
    }
    if (!m_runtimeDir.isEmpty())
        QDir(QString::fromLocal8Bit(m_runtimeDir)).removeRecursively();
    m_runtimeDir.clear();
}
