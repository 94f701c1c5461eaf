#pragma once

#include "simulator/line_state_file.h"

#include <string>

namespace tarvex_sim {

// The base's modem lines as the fixture on the other end reads them, and
// whether it does.
class LinePublisher
{
public:
    explicit LinePublisher(std::string folder);
    LinePublisher(const LinePublisher &) = delete;
    LinePublisher &operator=(const LinePublisher &) = delete;
    ~LinePublisher();

    int watchFd() const { return m_watch; }
    line_state_file::LineState &state() { return m_state; }
    const line_state_file::LineState &state() const { return m_state; }

    // Lines that simulators killed before they could tidy up left behind.
    static void removeDeadStates(const std::string &folder);
    bool seenByFixture() const { return m_seen; }

    // A new terminal starts with no changes counted.
    void startTerminal(int number);
    bool publish() const;
    void withdraw();
    // A program opened the port: whether it reads the lines is yet to be seen.
    void portOpened() { m_seen = false; }

    // Notes the fixture's reads of the published file.
    void takeReads();

private:
    std::string m_folder;
    std::string m_file;
    std::string m_name;
    line_state_file::LineState m_state;
    int m_watch = -1;
    bool m_seen = false;
};

} // namespace tarvex_sim
