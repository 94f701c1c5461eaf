#include "simulator/port_link.h"

#include "simulator/folder_entries.h"
#include "simulator/held_terminal.h"

#include <cerrno>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

namespace tarvex_sim {

bool makePrivateFolder(const std::string &path, std::string *error)
{
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        *error = "cannot make " + path + ": " + std::strerror(errno);
        return false;
    }
    struct stat info = {};
    if (::lstat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::getuid()) {
        *error = path + " is not a folder of this user";
        return false;
    }
    return true;
}

PortLink::PortLink(const std::string &folder, int com)
    : m_path(folder + "/COM" + std::to_string(com) + "-" + std::to_string(::getpid()))
{}

bool PortLink::leadTo(const HeldTerminal &terminal, std::string *error)
{
    remove();
#ifdef __linux__
    const std::string target =
        "/proc/" + std::to_string(::getpid()) + "/fd/" + std::to_string(terminal.heldSlave());
#else
    // Without /proc the link names the terminal itself, and only a stop
    // that lets the simulator tidy up removes it.
    const std::string target = terminal.slavePath();
#endif
    if (::symlink(target.c_str(), m_path.c_str()) != 0) {
        *error = "cannot make the link " + m_path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

void PortLink::remove()
{
    ::unlink(m_path.c_str());
}

void PortLink::removeDeadLinks(const std::string &folder)
{
    ForEachEntry(folder, [](const std::string &name, const std::string &path) {
        struct stat info = {};
        if (name.compare(0, 3, "COM") == 0 && ::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode)
            && ::stat(path.c_str(), &info) != 0)
            ::unlink(path.c_str());
    });
}

} // namespace tarvex_sim
