#pragma once

#include "simulator/client_watch.h"
#include "simulator/line_publisher.h"
#include "simulator/port_link.h"
#include "simulator/held_terminal.h"
#include "simulator/sim_options.h"
#include "simulator/tarvex_model.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tarvex_sim {

using Clock = std::chrono::steady_clock;

// The base on its terminal: reads the bytes and the controls, answers, keeps
// the lines, and prints a line for everything that happens.
class Simulator
{
public:
    Simulator(const Options &options, PortLink &link, LinePublisher &lines);

    struct Stop
    {
        std::string why;
        bool failed = false;
    };

    // Takes a terminal and leads the link to it; says what it did.
    bool plugIn(std::string *report);
    // The device goes away as an unplugged adapter does: the link leads
    // nowhere, and whoever has the terminal open finds it hung up.
    void unplug();
    // Runs until a stop signal, the end of standard input or a failure of the
    // terminal.
    Stop run();

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

    int pollTimeout() const;
    void event(const std::string &line, Clock::time_point when = Clock::now());
    std::optional<std::string> readTerminal();
    void receive(std::uint8_t byte, Clock::time_point readAt);
    void sendDueAnswers();
    bool cableIn() const { return m_terminal && !m_hangUpAt; }
    void hangUp();
    void runDueActions();
    void reportClients(const std::vector<int> &changes, int which);
    // False at the end of standard input.
    bool readControls();
    // Counts a change of each given line, as a serial driver does.
    void changeLines(int bits);
    void apply(const Control &control);
    // "power on, cable in, CTS on, DSR on, CD on", and whether anyone sees them.
    std::string lineText() const;
    // " 0x00 0xFF sent", or " 0x00 0xFF not sent".
    std::string sendGarbled();
    bool send(std::uint8_t byte);

    const Options &m_options;
    PortLink &m_link;
    LinePublisher &m_lines;
    const Clock::time_point m_started;
    std::unique_ptr<HeldTerminal> m_terminal;
    std::unique_ptr<ClientWatch> m_clients;
    tarvex_sim::BaseModel m_model;
    bool m_poweredOn = true;
    std::deque<PendingAnswer> m_pending;
    std::multimap<Clock::time_point, const Control *> m_timed;
    std::optional<Clock::time_point> m_hangUpAt;
    std::string m_input;
};

} // namespace tarvex_sim
