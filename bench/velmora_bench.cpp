// velmora-bench: times the main window on the real serial layer against
// tarvex-sim, and Velmora's start-up against a minimal Qt Widgets program, and
// prints one table with the machine it ran on.
#include "app_settings/port_mapping.h"
#include "app_settings/settings_keys.h"
#include "platform/serial/serial_comm_control.h"
#include "platform/settings/settings_store.h"
#include "protocol/tarvex_protocol.h"
#include "simulator/tarvex_model.h"
#include "tests/support/modem_line_preload.h"
#include "tests/support/pseudo_terminal.h"
#include "tests/support/recording_message_boxes.h"
#include "tests/support/serial_server_process.h"
#include "tests/support/store_sandbox.h"
#include "tests/support/tarvex_sim_process.h"
#include "trainer_panel/colour_button.h"
#include "trainer_panel/frm_FaultsAndMods.h"

#include <QApplication>
#include <QFile>
#include <QPushButton>
#include <QStandardPaths>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#ifdef VELMORA_BENCH_XCB
#include <xcb/xcb.h>
#endif

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;

const char UsageText[] =
    "usage: velmora-bench [--connects N] [--clicks N] [--bursts N] [--losses N]\n"
    "                     [--flood-seconds N] [--startups N] [--no-startup] [--no-network]\n"
    "                     [--smoke]\n"
    "\n"
    "Times Velmora's main window on the real serial layer against tarvex-sim (in a\n"
    "temporary settings store, never your own), and Velmora's start-up against a\n"
    "minimal Qt Widgets program on a private Xvfb display; prints one table with\n"
    "the median and the worst of the runs, each against its target.\n"
    "\n"
    "  --connects N   connects timed, click to the reset byte at the base (default 30)\n"
    "  --clicks N     single item clicks timed, click to the byte at the base (default 300)\n"
    "  --bursts N     bursts of 1,000 clicks checked byte by byte (default 5)\n"
    "  --losses N     lost connections timed, from the change at the base to the\n"
    "                 \"Connection lost\" message, for each of a line change, the\n"
    "                 cable pulled and the simulator killed (default 20); line\n"
    "                 changes reach the window through the modem-line fixture, which\n"
    "                 the bench loads into itself\n"
    "  --flood-seconds N\n"
    "                 how long a device floods the connected window; the growth of\n"
    "                 the bench's resident memory meanwhile (default 60)\n"
    "  --startups N   start-ups of each program, after one untimed pair (default 15)\n"
    "  --no-network   leave out the lines through ser2net, a serial server on the\n"
    "                 network in front of the simulator (Debian package ser2net)\n"
    "  --no-startup   leave out the start-up and memory lines\n"
    "  --smoke        a few runs of each, to check that the bench still works; only a\n"
    "                 lost, doubled or reordered byte or a failed step fails it\n"
    "\n"
    "Exit status: 0 when every target was met (with --smoke: when nothing failed),\n"
    "1 when one was missed, 2 when a measurement could not be made.\n";

constexpr int BurstLength = 1000;
constexpr double ConnectTargetMs = 110.0;
// Through a server on loopback the open adds a connection and its negotiation.
constexpr double NetworkConnectTargetMs = 101.0;
constexpr double ServerGoneTargetMs = 50.0;
constexpr double ClickTargetMs = 2.0;
constexpr double LossMedianTargetMs = 30.0;
constexpr double LossWorstTargetMs = 60.0;
constexpr double RatioTarget = 1.25;
constexpr double FloodGrowthTargetMiB = 1.0;
// Long enough for the first paint after the window is mapped.
constexpr int SettleAfterMapMs = 200;

struct Failure : std::runtime_error
{
    using std::runtime_error::runtime_error;
};

qint64 nowMicros()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch()).count();
}

struct Series
{
    std::vector<double> values;

    void add(double value) { values.push_back(value); }
    double median() const
    {
        std::vector<double> sorted = values;
        std::sort(sorted.begin(), sorted.end());
        const std::size_t n = sorted.size();
        return n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
    }
    double worst() const { return *std::max_element(values.begin(), values.end()); }
};

struct Row
{
    std::string what;
    std::size_t runs = 0;
    std::string median;
    std::string worst;
    std::string target;
    std::string met; // "yes", "NO", or "-" for a line without a target
};

std::string format(const char *pattern, double value)
{
    char text[64];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

std::string verdict(bool met)
{
    return met ? "yes" : "NO";
}

double residentMiB(pid_t pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        throw Failure("cannot read the memory of process " + std::to_string(pid));
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024.0;
    }
    throw Failure("no VmRSS for process " + std::to_string(pid));
}

// ---- The serial path: main window, real serial layer, simulator ----------

namespace protocol = tarvex_protocol;

// A click on an item inserts it when it is out and removes it when it is in:
// the byte the base should get for it, with `board` following.
quint8 click(tarvex::BaseModel *board, int item)
{
    const tarvex::Item which = tarvex::itemAt(item);
    const bool inserted = board->isInserted(which.kind, which.number);
    const quint8 byte = protocol::ItemCommand(inserted ? protocol::RemoveBase : protocol::InsertBase, item);
    board->receive(byte);
    return byte;
}

const QRegularExpression AnyRx(QStringLiteral("^\\d+\\.\\d{6} rx 0x(\\w\\w) "));

class SerialBench
{
public:
    // The base on its terminal, reached directly or through ser2net on loopback.
    enum class Route { Terminal, Ser2net };

    explicit SerialBench(Route route = Route::Terminal)
        : m_route(route)
    {
        startBase();
        m_messages.onShow = [this](const RecordingMessageBoxes::Message &) { m_shownAt = nowMicros(); };
        m_window = std::make_unique<frm_FaultsAndMods>(platform::CreateSerialCommControl(ResolveComPort), m_messages);
        m_window->setAttribute(Qt::WA_DeleteOnClose, false);
        m_window->show();
        QCoreApplication::processEvents();
    }

    // Click to the reset byte; `toProbe` gets click to the probe, the part that
    // is not the fixed wait.
    Series connects(int runs, Series *toProbe)
    {
        Series ms;
        for (int run = 0; run < runs; ++run) {
            const qint64 clicked = nowMicros();
            m_window->btn_Connect->click();
            const qint64 probed = arrival(protocol::Probe, "connect");
            const qint64 arrived = arrival(protocol::ResetAll, "the probe");
            if (m_window->btn_Connect->isEnabled())
                throw Failure("connect failed: " + m_messages.titles().join(QStringLiteral(", ")).toStdString());
            ms.add(double(arrived - clicked) / 1000.0);
            toProbe->add(double(probed - clicked) / 1000.0);
            m_window->btn_Disconnect->click();
            waitUntilPortFreed();
        }
        return ms;
    }

    Series clicks(int runs)
    {
        connect();
        Series ms;
        tarvex::BaseModel board;
        for (int run = 0; run < runs; ++run) {
            const int item = (run * 7) % protocol::ItemCount;
            const quint8 expected = click(&board, item);
            const qint64 clicked = nowMicros();
            button(item)->click();
            ms.add(double(arrival(expected, "item click") - clicked) / 1000.0);
            QCoreApplication::processEvents();
        }
        resetBoard();
        return ms;
    }

    // The time from the first click to the last byte at the base; each burst is
    // checked byte by byte, and the first fault found is kept.
    Series bursts(int runs, std::string *fault)
    {
        connect();
        Series ms;
        for (int run = 0; run < runs; ++run) {
            tarvex::BaseModel board;
            QByteArray expected;
            const qint64 started = nowMicros();
            for (int k = 0; k < BurstLength; ++k) {
                const int item = (k * 7 + run) % protocol::ItemCount;
                expected.append(char(click(&board, item)));
                button(item)->click();
                // As between two real clicks: the window's events are handled.
                QCoreApplication::processEvents();
            }
            QByteArray received;
            qint64 last = started;
            QString lastLine;
            while (received.size() < expected.size()) {
                const QString line = m_base->waitForLine(AnyRx, 3000);
                if (line.isNull())
                    break;
                received.append(char(AnyRx.match(line).captured(1).toInt(nullptr, 16)));
                last = TarvexSimProcess::timestampMicros(line).value_or(last);
                lastLine = line;
            }
            // Anything more would be a doubled byte.
            const QString extra = m_base->waitForLine(AnyRx, 100);
            if (!extra.isNull())
                received.append(char(AnyRx.match(extra).captured(1).toInt(nullptr, 16)));
            if (fault->empty())
                *fault = compare(expected, received, lastLine, board.stateText(), run);
            ms.add(double(last - started) / 1000.0);
            if (m_window->btn_Connect->isEnabled())
                throw Failure("the connection dropped during a burst: "
                              + m_messages.titles().join(QStringLiteral(", ")).toStdString());
            resetBoard();
        }
        return ms;
    }

    enum class Loss { LineChange, Cable, Killed, ServerKilled };

    // From the change at the base (the simulator's time of it, or the kill) to
    // the "Connection lost" message, each time on a connection past its settling.
    Series losses(int runs, Loss loss)
    {
        Series ms;
        const char *lines[] = {"cts", "dsr", "cd"};
        for (int run = 0; run < runs; ++run) {
            connect();
            waitUntilArmed();
            const qsizetype shown = m_messages.shown.size();
            qint64 changedAt = 0;
            if (loss == Loss::Killed) {
                changedAt = nowMicros();
                m_base->process().kill();
            } else if (loss == Loss::ServerKilled) {
                changedAt = nowMicros();
                m_server->kill();
            } else {
                changedAt = loss == Loss::Cable ? control("cable", "pulled") : control(lines[run % 3]);
            }
            const qint64 lostAt = waitForMessage(shown);
            ms.add(double(lostAt - changedAt) / 1000.0);
            if (loss == Loss::Killed) {
                m_base->process().waitForFinished(3000);
                startBase();
            } else if (loss == Loss::ServerKilled) {
                startServer();
            } else if (loss == Loss::Cable) {
                // Plugged in again for the next run.
                control("cable", "plugged in again");
            }
        }
        return ms;
    }

private:
    void startBase()
    {
        m_base = std::make_unique<TarvexSimProcess>(QStringLiteral(TARVEX_SIM));
        if (!m_base->start({QStringLiteral("--timestamps")}))
            throw Failure("tarvex-sim did not start: " + m_base->process().errorString().toStdString());
        if (m_route == Route::Ser2net)
            startServer();
    }

    // ser2net in front of the base's terminal, with the modem-line fixture so
    // that the terminal has lines; COM 1 is mapped to it.
    void startServer()
    {
        m_server.reset();
        m_server = std::make_unique<SerialServerProcess>(SerialServerProcess::Kind::Ser2net);
#ifdef MODEM_LINE_FIXTURE
        const QString fixture = QStringLiteral(MODEM_LINE_FIXTURE);
#else
        const QString fixture;
#endif
        if (!m_server->start(m_base->terminalPath(), fixture))
            throw Failure("ser2net did not start: " + m_server->output().toStdString());
        if (!platform::SettingsStore::write(settings_keys::Application, settings_keys::SectionPorts,
                                            settings_keys::PortKey(1), m_server->url()))
            throw Failure("cannot map COM 1 to ser2net");
    }

    // Types a control at the base; the time the base says it did what was asked.
    qint64 control(const char *words, const char *done = "")
    {
        m_base->process().write(QByteArray(words) + '\n');
        const QString line = m_base->waitForLine(
            QRegularExpression(QStringLiteral("^\\d+\\.\\d{6} %1: %2").arg(QLatin1String(words), QLatin1String(done))),
            3000);
        if (line.isNull())
            throw Failure(std::string("the base did not take the control ") + words);
        return *TarvexSimProcess::timestampMicros(line);
    }

    void waitUntilArmed()
    {
        const Clock::time_point deadline = Clock::now() + std::chrono::seconds(3);
        while (!m_window->connectionArmed()) {
            if (Clock::now() > deadline)
                throw Failure("the connection never left its settling time");
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        }
    }

    qint64 waitForMessage(qsizetype before)
    {
        const Clock::time_point deadline = Clock::now() + std::chrono::seconds(3);
        while (m_messages.shown.size() == before) {
            if (Clock::now() > deadline)
                throw Failure("no message within 3 s of losing the connection");
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        }
        if (m_messages.shown.size() != before + 1 || m_messages.shown.last().title != QLatin1String("Connection lost"))
            throw Failure("losing the connection showed: "
                          + m_messages.titles().mid(before).join(QStringLiteral(", ")).toStdString());
        return m_shownAt;
    }

    static std::string compare(const QByteArray &expected, const QByteArray &received, const QString &lastLine,
                               const std::string &state, int run)
    {
        const std::string burst = "burst " + std::to_string(run + 1) + ": ";
        for (qsizetype i = 0; i < std::min(expected.size(), received.size()); ++i) {
            if (expected[i] != received[i])
                return burst + "byte " + std::to_string(i + 1) + " was " + tarvex::hexByte(quint8(received[i]))
                    + ", not " + tarvex::hexByte(quint8(expected[i]));
        }
        if (received.size() < expected.size())
            return burst + std::to_string(expected.size() - received.size()) + " of "
                + std::to_string(expected.size()) + " bytes lost";
        if (received.size() > expected.size())
            return burst + "more bytes than clicks";
        if (TarvexSimProcess::boardState(lastLine).toStdString() != state)
            return burst + "the board ended as " + TarvexSimProcess::boardState(lastLine).toStdString()
                + ", not " + state;
        return std::string();
    }

    ColourButton *button(int item) const
    {
        const tarvex::Item which = tarvex::itemAt(item);
        const auto index = std::size_t(which.number - 1);
        return which.kind == tarvex::ItemKind::Fault ? m_window->btn_Fault.at(index) : m_window->btn_Mod.at(index);
    }

    // The time the base read the next byte, which must be `byte`.
    qint64 arrival(quint8 byte, const char *after)
    {
        const QString line = m_base->waitForLine(AnyRx, 3000);
        if (line.isNull())
            throw Failure(std::string("no byte reached the base after ") + after + "; messages: "
                          + m_messages.titles().join(QStringLiteral(", ")).toStdString() + "; the base printed:\n"
                          + m_base->lines().mid(m_base->lines().size() - 8).join(QLatin1Char('\n')).toStdString());
        if (AnyRx.match(line).captured(1).toInt(nullptr, 16) != byte)
            throw Failure(std::string("after ") + after + " the base got " + line.toStdString() + ", expected "
                          + tarvex::hexByte(byte));
        return *TarvexSimProcess::timestampMicros(line);
    }

    void connect()
    {
        if (!m_window->btn_Connect->isEnabled())
            return;
        m_window->btn_Connect->click();
        arrival(protocol::Probe, "connect");
        arrival(protocol::ResetAll, "connect");
        if (m_window->btn_Connect->isEnabled())
            throw Failure("connect failed: " + m_messages.titles().join(QStringLiteral(", ")).toStdString());
    }

    void resetBoard()
    {
        m_window->btn_Reset->click();
        arrival(protocol::ResetAll, "Reset All");
        QCoreApplication::processEvents();
    }

    // So that the next probe is not taken for a byte of the last connection.
    void waitUntilPortFreed()
    {
#ifdef Q_OS_LINUX
        if (m_base->waitForLine(QRegularExpression(QStringLiteral("port closed, 0 open$")), 3000).isNull())
            throw Failure("the base never saw the port closed");
#endif
        QCoreApplication::processEvents();
    }

    Route m_route;
    std::unique_ptr<TarvexSimProcess> m_base;
    std::unique_ptr<SerialServerProcess> m_server;
    qint64 m_shownAt = 0;
    RecordingMessageBoxes m_messages;
    std::unique_ptr<frm_FaultsAndMods> m_window;
};

// ---- A flood: a device that never stops talking while connected -----------

struct FloodResult
{
    double growthMiB = 0;
    double megabytesPerSecond = 0;
};

// The main window connected on COM 12 to a device of our own (a pseudo-terminal)
// that answers the probe and then sends as fast as the terminal takes it, for
// `seconds`; this process's resident memory before and after.
FloodResult flood(int seconds)
{
    PseudoTerminal pty;
    if (!pty.isValid())
        throw Failure("flood: no pseudo-terminal");
    // The device must never wait on a full terminal, or it would miss the stop.
    pty.setNonBlocking();
    const int master = pty.master();
    constexpr int Port = 12;
    if (!platform::SettingsStore::write(settings_keys::Application, settings_keys::SectionPorts,
                                        settings_keys::PortKey(Port), pty.slavePath()))
        throw Failure("flood: cannot map COM 12");

    std::atomic<bool> stop = false;
    std::atomic<qint64> sent = 0;
    std::thread device([master, &stop, &sent] {
        // Answers the probe, waits for the reset byte, then floods.
        QByteArray heard;
        while (!stop && !heard.contains(char(protocol::ResetAll))) {
            pollfd readable {master, POLLIN, 0};
            if (::poll(&readable, 1, 20) <= 0)
                continue;
            char byte = 0;
            if (::read(master, &byte, 1) != 1)
                continue;
            if (byte == char(protocol::Probe))
                [[maybe_unused]] const ssize_t answered = ::write(master, &tarvex::ProbeAnswer, 1);
            heard.append(byte);
        }
        char chunk[4096];
        std::memset(chunk, 0x55, sizeof chunk);
        while (!stop) {
            pollfd writable {master, POLLOUT, 0};
            if (::poll(&writable, 1, 20) <= 0)
                continue;
            const ssize_t written = ::write(master, chunk, sizeof chunk);
            if (written > 0)
                sent += written;
        }
    });

    RecordingMessageBoxes messages;
    frm_FaultsAndMods window(platform::CreateSerialCommControl(ResolveComPort), messages);
    window.setAttribute(Qt::WA_DeleteOnClose, false);
    window.menu_Com[Port - 1]->trigger();
    window.btn_Connect->click();
    const bool connected = !window.btn_Connect->isEnabled();
    double before = 0;
    double after = 0;
    if (connected) {
        before = residentMiB(::getpid());
        QEventLoop loop;
        QTimer::singleShot(seconds * 1000, &loop, &QEventLoop::quit);
        loop.exec();
        after = residentMiB(::getpid());
    }
    const bool stayed = !window.btn_Connect->isEnabled();
    stop = true;
    device.join();
    window.btn_Disconnect->click();
    pty.closeMaster();
    if (!connected)
        throw Failure("flood: connect failed: " + messages.titles().join(QStringLiteral(", ")).toStdString());
    if (!stayed)
        throw Failure("flood: the connection dropped: " + messages.titles().join(QStringLiteral(", ")).toStdString());
    return {after - before, double(sent) / 1e6 / seconds};
}

// ---- Start-up: Velmora and the minimal program on a private X server -------

#ifdef VELMORA_BENCH_XCB

struct Launch
{
    double startMs = 0;
    double rssMiB = 0;
};

std::optional<std::string> findProgram(const char *name)
{
    const QString path = QStandardPaths::findExecutable(QString::fromLatin1(name));
    if (path.isEmpty())
        return std::nullopt;
    return path.toStdString();
}

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
        result.rssMiB = residentMiB(pid);
    }
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
    if (!mapped)
        throw Failure(path + " showed no window titled \"" + title + "\"");
    return result;
}

struct StartupSeries
{
    Series velmoraMs, minimalMs, velmoraMiB, minimalMiB, timeRatio, memoryRatio;
};

StartupSeries startups(int runs, const std::string &xvfb)
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

#endif // VELMORA_BENCH_XCB

// ---- The machine and the table ---------------------------------------------

std::string cpuModel()
{
    QFile cpuinfo(QStringLiteral("/proc/cpuinfo"));
    if (cpuinfo.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : cpuinfo.readAll().split('\n')) {
            if (line.startsWith("model name"))
                return line.mid(line.indexOf(':') + 1).trimmed().toStdString();
        }
    }
    return "unknown CPU";
}

std::string kernel()
{
    utsname name{};
    if (::uname(&name) != 0)
        return "unknown kernel";
    return std::string(name.sysname) + ' ' + name.release + ' ' + name.machine;
}

std::string loadAverage()
{
    QFile load(QStringLiteral("/proc/loadavg"));
    if (!load.open(QIODevice::ReadOnly))
        return "unknown";
    const QList<QByteArray> fields = load.readAll().split(' ');
    return fields.mid(0, 3).join(' ').toStdString();
}

void printTable(const std::vector<Row> &rows)
{
    const std::array<const char *, 6> heads = {"measure", "runs", "median", "worst", "target", "met"};
    std::array<std::size_t, 6> widths{};
    for (std::size_t c = 0; c < heads.size(); ++c)
        widths[c] = std::strlen(heads[c]);
    const auto cells = [](const Row &row) {
        return std::array<std::string, 6>{row.what, std::to_string(row.runs), row.median, row.worst, row.target,
                                          row.met};
    };
    for (const Row &row : rows) {
        const auto text = cells(row);
        for (std::size_t c = 0; c < text.size(); ++c)
            widths[c] = std::max(widths[c], text[c].size());
    }
    const auto print = [&widths](const std::array<std::string, 6> &text) {
        std::string line;
        for (std::size_t c = 0; c < text.size(); ++c) {
            std::string cell = text[c];
            // Names left, figures right.
            const std::string pad(widths[c] - cell.size(), ' ');
            line += c == 0 || c >= 4 ? cell + pad : pad + cell;
            if (c + 1 < text.size())
                line += "  ";
        }
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        std::printf("%s\n", line.c_str());
    };
    print({heads[0], heads[1], heads[2], heads[3], heads[4], heads[5]});
    std::size_t total = 0;
    for (std::size_t width : widths)
        total += width + 2;
    std::printf("%s\n", std::string(total - 2, '-').c_str());
    for (const Row &row : rows)
        print(cells(row));
}

struct Options
{
    int connects = 30;
    int clicks = 300;
    int bursts = 5;
    int losses = 20;
    int floodSeconds = 60;
    int startups = 15;
    bool startup = true;
    bool network = true;
    bool smoke = false;
};

std::optional<int> parseOptions(int argc, char *argv[], Options *options)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        int *count = arg == "--connects" ? &options->connects
            : arg == "--clicks"          ? &options->clicks
            : arg == "--bursts"          ? &options->bursts
            : arg == "--losses"          ? &options->losses
            : arg == "--flood-seconds"   ? &options->floodSeconds
            : arg == "--startups"        ? &options->startups
                                         : nullptr;
        if (arg == "--help" || arg == "-h") {
            std::fputs(UsageText, stdout);
            return 0;
        } else if (arg == "--no-startup") {
            options->startup = false;
        } else if (arg == "--no-network") {
            options->network = false;
        } else if (arg == "--smoke") {
            options->smoke = true;
            options->connects = 2;
            options->clicks = 10;
            options->bursts = 1;
            options->losses = 2;
            options->floodSeconds = 2;
            options->startups = 1;
        } else if (count && i + 1 < argc) {
            bool ok = false;
            *count = QString::fromLocal8Bit(argv[++i]).toInt(&ok);
            if (!ok || *count < 1 || *count > 100000) {
                std::fprintf(stderr, "velmora-bench: %s takes a count from 1 to 100000\n", arg.c_str());
                return 2;
            }
        } else {
            std::fprintf(stderr, "velmora-bench: unknown option or missing value: %s (see --help)\n", arg.c_str());
            return 2;
        }
    }
    return std::nullopt;
}

} // namespace

int main(int argc, char *argv[])
{
    modem_line_preload::RestartWithFixture(argv);
    Options options;
    if (const std::optional<int> exitCode = parseOptions(argc, argv, &options))
        return *exitCode;

    // The window under test needs no screen; the programs started for the
    // start-up lines get the X server instead.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // The offscreen platform's notes would break up the table.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &message) {
        if (type == QtCriticalMsg || type == QtFatalMsg)
            std::fprintf(stderr, "velmora-bench: %s\n", qPrintable(message));
    });
    QApplication app(argc, argv);
    StoreSandbox sandbox;

    const char *buildType = VELMORA_BUILD_TYPE[0] ? VELMORA_BUILD_TYPE : "none set";
    std::printf("velmora-bench on %s, %u cores, %s; Qt %s; build type %s; load average %s\n",
                cpuModel().c_str(), std::thread::hardware_concurrency(), kernel().c_str(), qVersion(), buildType,
                loadAverage().c_str());
    std::printf("serial path: frm_FaultsAndMods on the POSIX serial layer, tarvex-sim on a pseudo-terminal;\n"
                "times are taken from the click to the moment the simulator read the byte\n\n");
    std::fflush(stdout);

    std::vector<Row> rows;
    bool allMet = true;
    bool startupMeasured = false;
    std::string fault;
    try {
        SerialBench serial;
        Series toProbe;
        const Series connects = serial.connects(options.connects, &toProbe);
        const bool connectMet = connects.median() <= ConnectTargetMs && connects.worst() <= ConnectTargetMs;
        rows.push_back({"connect: click to " + tarvex::hexByte(protocol::ResetAll) + " at the base",
                        connects.values.size(),
                        format("%.1f ms", connects.median()), format("%.1f ms", connects.worst()),
                        format("<= %.0f ms", ConnectTargetMs), verdict(connectMet)});
        rows.push_back({"  of which click to probe " + tarvex::hexByte(protocol::Probe) + " at the base",
                        toProbe.values.size(),
                        format("%.1f ms", toProbe.median()), format("%.1f ms", toProbe.worst()), "", "-"});
        allMet = allMet && connectMet;

        const Series clicks = serial.clicks(options.clicks);
        const bool clickMet = clicks.median() <= ClickTargetMs && clicks.worst() <= ClickTargetMs;
        rows.push_back({"item click to its byte at the base", clicks.values.size(),
                        format("%.3f ms", clicks.median()), format("%.3f ms", clicks.worst()),
                        format("<= %.0f ms", ClickTargetMs), verdict(clickMet)});
        allMet = allMet && clickMet;

        const Series bursts = serial.bursts(options.bursts, &fault);
        rows.push_back({"burst of 1,000 clicks, first click to last byte", bursts.values.size(),
                        format("%.1f ms", bursts.median()), format("%.1f ms", bursts.worst()),
                        "every byte once, in order", fault.empty() ? "yes" : "NO"});

        const auto lossRow = [&](const char *what, const Series &ms) {
            const bool met = ms.median() <= LossMedianTargetMs && ms.worst() <= LossWorstTargetMs;
            rows.push_back({what, ms.values.size(), format("%.1f ms", ms.median()), format("%.1f ms", ms.worst()),
                            format("median <= %.0f ms, worst <= ", LossMedianTargetMs)
                                + format("%.0f ms", LossWorstTargetMs),
                            verdict(met)});
            allMet = allMet && met;
        };
        if (modem_line_preload::FixtureLoaded()) {
            lossRow("line change at the base to \"Connection lost\"",
                    serial.losses(options.losses, SerialBench::Loss::LineChange));
        } else {
            std::printf("line change lines skipped: %s\n\n", modem_line_preload::Missing());
            if (!options.smoke)
                allMet = false;
        }
        lossRow("cable pulled at the base to \"Connection lost\"",
                serial.losses(options.losses, SerialBench::Loss::Cable));
        lossRow("simulator killed to \"Connection lost\"", serial.losses(options.losses, SerialBench::Loss::Killed));

        if (!options.network) {
            std::printf("network lines left out (--no-network)\n\n");
        } else if (const QString missing = SerialServerProcess::Missing(SerialServerProcess::Kind::Ser2net);
                   !missing.isEmpty()) {
            std::printf("network lines skipped: %s\n\n", qPrintable(missing));
            if (!options.smoke)
                allMet = false;
        } else {
            SerialBench network(SerialBench::Route::Ser2net);
            Series networkToProbe;
            const Series networkConnects = network.connects(options.connects, &networkToProbe);
            const bool networkMet = networkConnects.median() <= NetworkConnectTargetMs;
            rows.push_back({"connect through ser2net on loopback: click to " + tarvex::hexByte(protocol::ResetAll),
                            networkConnects.values.size(), format("%.1f ms", networkConnects.median()),
                            format("%.1f ms", networkConnects.worst()),
                            format("median <= %.0f ms", NetworkConnectTargetMs), verdict(networkMet)});
            rows.push_back({"  of which click to probe " + tarvex::hexByte(protocol::Probe) + " (open and negotiation)",
                            networkToProbe.values.size(), format("%.1f ms", networkToProbe.median()),
                            format("%.1f ms", networkToProbe.worst()), "", "-"});
            rows.push_back({"  more than on the terminal (difference of the medians)", networkConnects.values.size(),
                            format("%.1f ms", networkConnects.median() - connects.median()), "", "", "-"});
            allMet = allMet && networkMet;

            const Series gone = network.losses(options.losses, SerialBench::Loss::ServerKilled);
            const bool goneMet = gone.median() <= ServerGoneTargetMs;
            rows.push_back({"ser2net killed to \"Connection lost\"", gone.values.size(),
                            format("%.1f ms", gone.median()), format("%.1f ms", gone.worst()),
                            format("median <= %.0f ms", ServerGoneTargetMs), verdict(goneMet)});
            allMet = allMet && goneMet;

            // ser2net looks at the lines once a second: that bounds this line, not Velmora.
            const Series lines = network.losses(options.losses, SerialBench::Loss::LineChange);
            rows.push_back({"line change at the base through ser2net to \"Connection lost\"", lines.values.size(),
                            format("%.0f ms", lines.median()), format("%.0f ms", lines.worst()),
                            "ser2net polls each 1 s", "-"});
        }

        const FloodResult flooded = flood(options.floodSeconds);
        const bool floodMet = flooded.growthMiB < FloodGrowthTargetMiB;
        rows.push_back({format("RSS growth during a %.0f s flood", options.floodSeconds)
                            + format(" of %.1f MB/s", flooded.megabytesPerSecond),
                        1, format("%.2f MiB", flooded.growthMiB), format("%.2f MiB", flooded.growthMiB),
                        format("< %.0f MiB", FloodGrowthTargetMiB), verdict(floodMet)});
        allMet = allMet && floodMet;

        if (!options.startup) {
            std::printf("start-up lines left out (--no-startup)\n\n");
        } else {
#ifdef VELMORA_BENCH_XCB
            const std::optional<std::string> xvfb = findProgram("Xvfb");
            if (!xvfb) {
                std::printf("start-up lines skipped: Xvfb is not installed (package xvfb)\n\n");
                if (!options.smoke)
                    allMet = false;
            } else {
                const StartupSeries s = startups(options.startups, *xvfb);
                const std::size_t n = s.timeRatio.values.size();
                rows.push_back({"start-up to shown dialog: Velmora", n, format("%.1f ms", s.velmoraMs.median()),
                                format("%.1f ms", s.velmoraMs.worst()), "", "-"});
                rows.push_back({"start-up to shown dialog: minimal Qt Widgets", n,
                                format("%.1f ms", s.minimalMs.median()), format("%.1f ms", s.minimalMs.worst()), "",
                                "-"});
                const bool timeMet = s.timeRatio.median() <= RatioTarget;
                rows.push_back({"start-up, Velmora / minimal", n, format("%.2f", s.timeRatio.median()),
                                format("%.2f", s.timeRatio.worst()), format("median <= %.2f", RatioTarget),
                                verdict(timeMet)});
                rows.push_back({"RSS when shown: Velmora", n, format("%.1f MiB", s.velmoraMiB.median()),
                                format("%.1f MiB", s.velmoraMiB.worst()), "", "-"});
                rows.push_back({"RSS when shown: minimal Qt Widgets", n, format("%.1f MiB", s.minimalMiB.median()),
                                format("%.1f MiB", s.minimalMiB.worst()), "", "-"});
                const bool memoryMet = s.memoryRatio.median() <= RatioTarget;
                rows.push_back({"RSS when shown, Velmora / minimal", n, format("%.2f", s.memoryRatio.median()),
                                format("%.2f", s.memoryRatio.worst()), format("median <= %.2f", RatioTarget),
                                verdict(memoryMet)});
                allMet = allMet && timeMet && memoryMet;
                startupMeasured = true;
            }
#else
            std::printf("start-up lines skipped: built without xcb (package libxcb1-dev)\n\n");
            if (!options.smoke)
                allMet = false;
#endif
        }
    } catch (const Failure &failure) {
        printTable(rows);
        std::fprintf(stderr, "velmora-bench: %s\n", failure.what());
        return 2;
    }

    printTable(rows);
    if (startupMeasured)
        std::printf("\nstart-up: from the spawn to the X server mapping the window titled \"Authentication\"\n"
                    "(Velmora) or \"Minimal\", on a private Xvfb without a window manager; RSS is read %d ms\n"
                    "after the map. Ratios are taken pair by pair, the two programs started alternately.\n",
                    SettleAfterMapMs);
    if (!fault.empty()) {
        std::printf("burst: %s\n", fault.c_str());
        return 1;
    }
    return options.smoke || allMet ? 0 : 1;
}
