#include "simulator/client_watch.h"

#include "simulator/folder_entries.h"
#include "simulator/inotify_events.h"

#include <algorithm>

#include <unistd.h>
#ifdef __linux__
#include <climits>
#include <sys/inotify.h>
#endif

namespace tarvex_sim {

ClientWatch::ClientWatch(const std::string &path)
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

ClientWatch::~ClientWatch()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

std::vector<int> ClientWatch::takeChanges()
{
    std::vector<int> changes;
#ifdef __linux__
    TakeWatchEvents(m_fd, [&changes](const inotify_event &event) {
        if (event.mask & IN_OPEN)
            changes.push_back(+1);
        if (event.mask & IN_CLOSE)
            changes.push_back(-1);
    });
#endif
    return changes;
}

int ClientWatch::apply(int change)
{
    m_open = std::max(0, m_open + change);
    if (change < 0) {
        if (const std::optional<int> holders = countHolders())
            m_open = *holders;
    }
    return m_open;
}

std::optional<int> ClientWatch::countHolders() const
{
#ifdef __linux__
    const std::string self = std::to_string(::getpid());
    int holders = 0;
    const auto countLinks = [this, &holders](const std::string &, const std::string &link) {
        char target[PATH_MAX];
        const ssize_t n = ::readlink(link.c_str(), target, sizeof target);
        if (n > 0 && m_path.compare(0, std::string::npos, target, std::size_t(n)) == 0)
            ++holders;
    };
    const bool read = ForEachEntry("/proc", [&self, &countLinks](const std::string &pid, const std::string &path) {
        if (pid != self && pid.find_first_not_of("0123456789") == std::string::npos)
            ForEachEntry(path + "/fd", countLinks);
    });
    if (!read)
        return std::nullopt;
    return holders;
#else
    (void)m_path;
    return std::nullopt;
#endif
}

} // namespace tarvex_sim
