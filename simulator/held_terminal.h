#pragma once

#include "platform/serial/serial_settings.h"

#include <string>

namespace tarvex_sim {

// The base's pseudo-terminal, held open at both ends. The master side stays
// with us; we also keep the slave side open ourselves, so that a client closing
// the port does not hang the terminal up: the master keeps working and the next
// client finds the same device with our settings.
class HeldTerminal
{
public:
    HeldTerminal() = default;
    HeldTerminal(const HeldTerminal &) = delete;
    HeldTerminal &operator=(const HeldTerminal &) = delete;
    ~HeldTerminal() { close(); }

    // Opens a new terminal whose line is set up as `line`.
    bool open(const platform::LineSettings &line, std::string *error);
    void close();

    // Nobody has the port open any more: what a real line would have lost on the
    // way goes, and an exclusive lock that a client left behind is lifted.
    void portFreed();

    int master() const { return m_master; }
    int heldSlave() const { return m_heldSlave; }
    const std::string &slavePath() const { return m_slavePath; }
    // 7 for /dev/pts/7.
    int number() const;

private:
    int m_master = -1;
    int m_heldSlave = -1;
    std::string m_slavePath;
};

} // namespace tarvex_sim
