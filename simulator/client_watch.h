#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tarvex_sim {

// Counts the clients that have the slave side open, where the system tells
// opens and closes of a device file (Linux); elsewhere the count is unknown.
class ClientWatch
{
public:
    explicit ClientWatch(const std::string &path);
    ClientWatch(const ClientWatch &) = delete;
    ClientWatch &operator=(const ClientWatch &) = delete;
    ~ClientWatch();

    int fd() const { return m_fd; }
    std::optional<int> openCount() const
    {
        return m_fd >= 0 ? std::optional<int>(m_open) : std::nullopt;
    }

    // Each open as +1 and each close as -1, in the order they happened; the
    // count follows only through apply().
    std::vector<int> takeChanges();

    // Returns the new count. The system merges two opens in quick succession
    // (a client's probe and its real open) into one event, so at a close, where
    // it can tell, the count is what it says now.
    int apply(int change);

private:
    // The descriptors that other processes hold on the terminal, from /proc;
    // processes whose descriptors we may not read are not counted.
    std::optional<int> countHolders() const;

    std::string m_path;
    int m_fd = -1;
    int m_open = 0;
};

} // namespace tarvex_sim
