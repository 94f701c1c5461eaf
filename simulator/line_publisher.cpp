#include "simulator/line_publisher.h"

#include "simulator/folder_entries.h"
#include "simulator/inotify_events.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include <unistd.h>

namespace tarvex_sim {

LinePublisher::LinePublisher(std::string folder)
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

LinePublisher::~LinePublisher()
{
    withdraw();
    if (m_watch >= 0)
        ::close(m_watch);
}

void LinePublisher::removeDeadStates(const std::string &folder)
{
    ForEachEntry(folder, [](const std::string &name, const std::string &path) {
        std::FILE *file = name.compare(0, 3, "pts") == 0 ? std::fopen(path.c_str(), "r") : nullptr;
        if (!file)
            return;
        char text[256] = {};
        const bool read = std::fgets(text, sizeof text, file) != nullptr;
        std::fclose(file);
        line_state_file::LineState state;
        if (read && line_state_file::Parse(text, &state) && ::kill(pid_t(state.writer), 0) == -1 && errno == ESRCH)
            ::unlink(path.c_str());
    });
}

void LinePublisher::startTerminal(int number)
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

bool LinePublisher::publish() const
{
    return m_file.empty() || line_state_file::Write(m_file, m_state);
}

void LinePublisher::withdraw()
{
    if (!m_file.empty())
        ::unlink(m_file.c_str());
    m_file.clear();
}

void LinePublisher::takeReads()
{
#ifdef __linux__
    TakeWatchEvents(m_watch, [this](const inotify_event &event) {
        if (event.len > 0 && m_name == event.name)
            m_seen = true;
    });
#endif
}

} // namespace tarvex_sim
