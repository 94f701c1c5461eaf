#pragma once

#include <string>

namespace tarvex_sim {

class HeldTerminal;

// The simulator's folder, made private to the user; a folder of another owner
// or a symbolic link in its place is refused.
bool makePrivateFolder(const std::string &path, std::string *error);

// COM N leads to the terminal through a symbolic link of ours to the
// descriptor that this process holds on it (/proc/PID/fd/FD): when the
// simulator ends, however it ends, the link leads nowhere, and a program that
// opens COM N is told the port is not there instead of reaching whatever
// terminal gets the number next.
class PortLink
{
public:
    PortLink(const std::string &folder, int com);
    PortLink(const PortLink &) = delete;
    PortLink &operator=(const PortLink &) = delete;
    ~PortLink() { remove(); }

    const std::string &path() const { return m_path; }

    bool leadTo(const HeldTerminal &terminal, std::string *error);
    void remove();

    // Links that simulators killed before they could tidy up left behind.
    static void removeDeadLinks(const std::string &folder);

private:
    std::string m_path;
};

} // namespace tarvex_sim
