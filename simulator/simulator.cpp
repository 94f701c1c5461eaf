#include "simulator/simulator.h"

#include "simulator/stop_signals.h"
#include "simulator/sim_output.h"
#include "simulator/base_line.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <poll.h>
#include <unistd.h>

namespace tarvex_sim {

namespace {

const char *onOff(int bit)
{
    return bit ? "on" : "off";
}

// Two bytes as noise on the line leaves them, sent with the errors it causes.
constexpr std::uint8_t GarbledBytes[] = {0x00, 0xFF};

} // namespace

Simulator::Simulator(const Options &options, PortLink &link, LinePublisher &lines)
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

bool Simulator::plugIn(std::string *report)
{
    auto terminal = std::make_unique<HeldTerminal>();
    if (!terminal->open(BaseLine(), report))
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

void Simulator::unplug()
{
    m_hangUpAt.reset();
    m_link.remove();
    m_lines.withdraw();
    m_clients.reset();
    m_terminal.reset();
    m_pending.clear();
}

Simulator::Stop Simulator::run()
{
    bool watchStdin = m_options.watchStdin;
    for (;;) {
        std::vector<pollfd> fds;
        fds.push_back({m_terminal ? m_terminal->master() : -1, POLLIN, 0});
        fds.push_back({StopSignalFd(), POLLIN, 0});
        fds.push_back({m_clients ? m_clients->fd() : -1, POLLIN, 0});
        fds.push_back({watchStdin ? STDIN_FILENO : -1, POLLIN, 0});
        fds.push_back({m_lines.watchFd(), POLLIN, 0});

        if (::poll(fds.data(), fds.size(), pollTimeout()) < 0) {
            if (errno == EINTR)
                continue;
            return {std::string("poll failed: ") + std::strerror(errno), true};
        }
        if (fds[1].revents & POLLIN)
            return {"stopped by " + TakeStopSignal()};
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

int Simulator::pollTimeout() const
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

void Simulator::event(const std::string &line, Clock::time_point when)
{
    if (m_options.quiet)
        return;
    if (!m_options.timestamps) {
        PrintLine(line);
        return;
    }
    const auto micros =
        std::chrono::duration_cast<std::chrono::microseconds>(when.time_since_epoch()).count();
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%lld.%06lld ", static_cast<long long>(micros / 1000000),
                  static_cast<long long>(micros % 1000000));
    PrintLine(stamp + line);
}

std::optional<std::string> Simulator::readTerminal()
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

void Simulator::receive(std::uint8_t byte, Clock::time_point readAt)
{
    if (!m_poweredOn) {
        event("rx " + tarvex_sim::HexByte(byte) + " ignored, the base is off | " + m_model.stateText(), readAt);
        return;
    }
    const tarvex_sim::Effect effect = m_model.receive(byte);
    std::string what = tarvex_sim::Describe(effect);
    if (effect.answer) {
        if (m_options.silent) {
            what = "probe, not answered (--silent)";
        } else if (m_options.answerDelayMs > 0) {
            m_pending.push_back({Clock::now() + std::chrono::milliseconds(m_options.answerDelayMs),
                                 *effect.answer});
            what = "probe, answer " + tarvex_sim::HexByte(*effect.answer) + " due in "
                + std::to_string(m_options.answerDelayMs) + " ms";
        } else if (!send(*effect.answer)) {
            what = "probe, answer " + tarvex_sim::HexByte(*effect.answer) + " could not be sent: "
                + std::strerror(errno);
        }
    }
    event("rx " + tarvex_sim::HexByte(byte) + ' ' + what + " | " + m_model.stateText(), readAt);
}

void Simulator::sendDueAnswers()
{
    while (!m_pending.empty() && m_pending.front().due <= Clock::now()) {
        const std::uint8_t byte = m_pending.front().byte;
        m_pending.pop_front();
        const std::string late = std::to_string(m_options.answerDelayMs) + " ms late";
        if (m_clients->openCount() == 0)
            event("tx " + tarvex_sim::HexByte(byte) + " answer to the probe dropped, " + late
                  + ": nobody has the port open | " + m_model.stateText());
        else if (!send(byte))
            event("tx " + tarvex_sim::HexByte(byte) + " answer to the probe could not be sent: "
                  + std::strerror(errno) + " | " + m_model.stateText());
        else
            event("tx " + tarvex_sim::HexByte(byte) + " answer to the probe, " + late + " | "
                  + m_model.stateText());
    }
}

void Simulator::hangUp()
{
    unplug();
    event("cable: terminal hung up; " + m_link.path() + " leads nowhere");
}

void Simulator::runDueActions()
{
    if (m_hangUpAt && *m_hangUpAt <= Clock::now())
        hangUp();
    while (!m_timed.empty() && m_timed.begin()->first <= Clock::now()) {
        const Control *control = m_timed.begin()->second;
        m_timed.erase(m_timed.begin());
        apply(*control);
    }
}

void Simulator::reportClients(const std::vector<int> &changes, int which)
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

bool Simulator::readControls()
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
        if (const Control *control = FindControl(words))
            apply(*control);
        else
            event("unknown control \"" + words + "\"; \"help\" lists them");
    }
    return true;
}

void Simulator::changeLines(int bits)
{
    line_state_file::LineState &lines = m_lines.state();
    lines.bits ^= bits;
    lines.cts += (bits & line_state_file::Cts) ? 1 : 0;
    lines.dsr += (bits & line_state_file::Dsr) ? 1 : 0;
    lines.cd += (bits & line_state_file::Cd) ? 1 : 0;
}

void Simulator::apply(const Control &control)
{
    line_state_file::LineState &lines = m_lines.state();
    std::string what;
    switch (control.kind) {
    case ControlKind::Help: {
        // Asked for, so printed even with --quiet.
        const std::string list = ControlList();
        PrintLine("controls:\n" + list.substr(0, list.size() - 1));
        return;
    }
    case ControlKind::PowerOff:
        m_poweredOn = false;
        changeLines(lines.bits & BaseLines);
        what = "the base is off";
        break;
    case ControlKind::PowerOn:
        if (!m_poweredOn)
            m_model = tarvex_sim::BaseModel();
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
            what += ", garbled bytes" + sendGarbled();
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

std::string Simulator::lineText() const
{
    const int bits = m_lines.state().bits;
    std::string text = std::string("power ") + onOff(m_poweredOn) + ", cable " + (cableIn() ? "in" : "out")
        + ", CTS " + onOff(bits & line_state_file::Cts) + ", DSR " + onOff(bits & line_state_file::Dsr)
        + ", CD " + onOff(bits & line_state_file::Cd);
    if (m_terminal && !m_lines.seenByFixture())
        text += " (the other end does not read the lines: that needs a real serial port or the modem-line fixture)";
    return text;
}

std::string Simulator::sendGarbled()
{
    std::string bytes;
    bool sent = true;
    for (const std::uint8_t byte : GarbledBytes) {
        bytes += ' ' + tarvex_sim::HexByte(byte);
        sent = sent && send(byte);
    }
    return bytes + (sent ? "" : " not") + " sent";
}

bool Simulator::send(std::uint8_t byte)
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

} // namespace tarvex_sim
