#include "simulator/held_terminal.h"

#include "simulator/base_line.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace tarvex_sim {

bool HeldTerminal::open(const platform::LineSettings &line, std::string *error)
{
    m_master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0) {
        *error = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    const char *name = ::ptsname(m_master);
    if (!name) {
        *error = std::string("cannot name the pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    m_slavePath = name;
    m_heldSlave = ::open(m_slavePath.c_str(), O_RDWR | O_NOCTTY);
    if (m_heldSlave < 0) {
        *error = "cannot open " + m_slavePath + ": " + std::strerror(errno);
        return false;
    }
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    ::fcntl(m_master, F_SETFD, FD_CLOEXEC);
    ::fcntl(m_heldSlave, F_SETFD, FD_CLOEXEC);

    // Raw, so that no echo, line editing or signal character touches the bytes
    // of a client that does not set up the line itself.
    termios attributes = {};
    if (::tcgetattr(m_heldSlave, &attributes) == 0) {
        ::cfmakeraw(&attributes);
        attributes.c_cflag |= CREAD | CLOCAL;
        SetLine(line, &attributes);
        ::tcsetattr(m_heldSlave, TCSANOW, &attributes);
    }
    return true;
}

void HeldTerminal::close()
{
    if (m_heldSlave >= 0)
        ::close(m_heldSlave);
    if (m_master >= 0)
        ::close(m_master);
    m_heldSlave = m_master = -1;
}

void HeldTerminal::portFreed()
{
    ::tcflush(m_heldSlave, TCIFLUSH);
#ifdef TIOCNXCL
    ::ioctl(m_heldSlave, TIOCNXCL);
#endif
}

int HeldTerminal::number() const
{
    return std::atoi(m_slavePath.c_str() + m_slavePath.rfind('/') + 1);
}

} // namespace tarvex_sim
