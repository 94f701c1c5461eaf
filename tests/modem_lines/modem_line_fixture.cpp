// The modem-line fixture: loaded with LD_PRELOAD into a program under test, it
// answers the modem ioctls that Linux refuses on pseudo-terminal slaves, from
// the line state that tarvex-sim publishes for its terminal (one small file per
// terminal, read afresh on every call), and keeps the parity that such a
// terminal drops. Terminals without such a file, other devices and every other
// request go to the C library unchanged.
#include "simulator/line_state_file.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdarg>

#include <dlfcn.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

namespace {

using IoctlCall = int (*)(int, unsigned long, ...);

// Unix98 pseudo-terminal slaves have majors 136 to 143, 256 minors each.
constexpr unsigned FirstPtyMajor = 136;
constexpr unsigned PtyMajorCount = 8;
constexpr int PtyCount = PtyMajorCount * 256;
// The longest TIOCMIWAIT sleeps before it looks again without being woken.
constexpr int WaitSliceMs = 50;

// DTR and RTS as the program last set them, per terminal; off at first.
std::array<std::atomic<int>, PtyCount> g_outputs{};
// Parity on or off as the program last set it, per terminal. A pseudo-terminal
// drops it, and a request whose only change it was then fails with EINVAL,
// where a serial port takes it.
std::array<std::atomic<tcflag_t>, PtyCount> g_parity{};

IoctlCall nextIoctl()
{
    static const IoctlCall next = reinterpret_cast<IoctlCall>(::dlsym(RTLD_NEXT, "ioctl"));
    return next;
}

// The terminal's number for a pseudo-terminal slave, else -1.
int ptyNumber(int fd)
{
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISCHR(info.st_mode))
        return -1;
    const unsigned major = ::major(info.st_rdev);
    if (major < FirstPtyMajor || major >= FirstPtyMajor + PtyMajorCount)
        return -1;
    return int((major - FirstPtyMajor) * 256 + ::minor(info.st_rdev));
}

// False when the terminal has no published lines, or their writer has ended.
bool readState(const std::string &path, line_state_file::LineState *state)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd == -1)
        return false;
    char text[256];
    const ssize_t count = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (count <= 0)
        return false;
    text[count] = '\0';
    if (!line_state_file::Parse(text, state))
        return false;
    return ::kill(pid_t(state->writer), 0) == 0 || errno == EPERM;
}

// The terminal's number when tarvex-sim publishes lines for it, else -1.
int publishedPty(int fd)
{
    const int number = ptyNumber(fd);
    if (number < 0)
        return -1;
    line_state_file::LineState state;
    return readState(line_state_file::PathFor(line_state_file::Folder(), number), &state) ? number : -1;
}

// A hung-up terminal answers every request with EIO, as it does without us.
bool hungUp(int fd)
{
    int waiting = 0;
    return nextIoctl()(fd, FIONREAD, &waiting) == -1 && errno == EIO;
}

int failWith(int error)
{
    errno = error;
    return -1;
}

int changesWatched(const line_state_file::LineState &s, unsigned long mask)
{
    return ((mask & TIOCM_CTS) ? s.cts : 0) + ((mask & TIOCM_DSR) ? s.dsr : 0) + ((mask & TIOCM_CAR) ? s.cd : 0)
        + ((mask & TIOCM_RNG) ? s.ri : 0);
}

// Blocks until a watched line changes (0) or the terminal hangs up (EIO); a
// signal ends it with EINTR, as the kernel's wait does.
int waitForChange(int fd, const std::string &path, unsigned long mask)
{
    const std::string folder = line_state_file::Folder();
    const int watch = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (watch != -1)
        ::inotify_add_watch(watch, folder.c_str(), IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE);
    line_state_file::LineState before;
    const bool known = readState(path, &before);
    int result = 0;
    for (;;) {
        if (hungUp(fd)) {
            result = failWith(EIO);
            break;
        }
        line_state_file::LineState now;
        if (known && readState(path, &now) && changesWatched(now, mask) != changesWatched(before, mask))
            break;
        // The terminal reports its hang-up, the folder each new state.
        pollfd waits[2] = {{fd, 0, 0}, {watch, POLLIN, 0}};
        const int ready = ::poll(waits, watch == -1 ? 1 : 2, WaitSliceMs);
        if (ready == -1 && errno == EINTR) {
            result = -1;
            break;
        }
        if (watch != -1 && (waits[1].revents & POLLIN)) {
            char events[4096];
            while (::read(watch, events, sizeof events) > 0) {
            }
        }
    }
    const int error = errno;
    if (watch != -1)
        ::close(watch);
    errno = error;
    return result;
}

bool isModemRequest(unsigned long request)
{
    switch (request) {
    case TIOCMGET:
    case TIOCMSET:
    case TIOCMBIS:
    case TIOCMBIC:
    case TIOCMIWAIT:
    case TIOCGICOUNT:
        return true;
    default:
        return false;
    }
}

// -2 when the call is not ours to answer.
constexpr int NotOurs = -2;

int answer(int fd, unsigned long request, void *argument)
{
    if (!isModemRequest(request))
        return NotOurs;
    const int number = ptyNumber(fd);
    if (number < 0)
        return NotOurs;
    const std::string path = line_state_file::PathFor(line_state_file::Folder(), number);
    line_state_file::LineState state;
    if (!readState(path, &state))
        return NotOurs;
    if (hungUp(fd))
        return failWith(EIO);

    std::atomic<int> &outputs = g_outputs[std::size_t(number)];
    constexpr int OutputBits = TIOCM_DTR | TIOCM_RTS;
    switch (request) {
    case TIOCMGET:
        if (!argument)
            return failWith(EFAULT);
        *static_cast<int *>(argument) = state.bits | outputs.load();
        return 0;
    case TIOCMSET:
    case TIOCMBIS:
    case TIOCMBIC: {
        if (!argument)
            return failWith(EFAULT);
        const int bits = *static_cast<const int *>(argument) & OutputBits;
        if (request == TIOCMSET)
            outputs = bits;
        else if (request == TIOCMBIS)
            outputs |= bits;
        else
            outputs &= ~bits;
        return 0;
    }
    case TIOCGICOUNT: {
        if (!argument)
            return failWith(EFAULT);
        serial_icounter_struct counts {};
        counts.cts = state.cts;
        counts.dsr = state.dsr;
        counts.dcd = state.cd;
        counts.rng = state.ri;
        counts.brk = state.breaks;
        counts.frame = state.frame;
        counts.parity = state.parity;
        counts.overrun = state.overrun;
        *static_cast<serial_icounter_struct *>(argument) = counts;
        return 0;
    }
    case TIOCMIWAIT:
        // The mask comes by value, not behind a pointer.
        return waitForChange(fd, path, reinterpret_cast<unsigned long>(argument));
    default:
        return NotOurs;
    }
}

} // namespace

// Tells a program that it runs with the fixture loaded.
extern "C" __attribute__((visibility("default"))) const int velmora_modem_line_fixture = 1;

// Every ioctl that a program (or Wine, through the C library) makes; the third
// argument, when there is one, is a pointer or a value of a pointer's size.
extern "C" __attribute__((visibility("default"))) int ioctl(int fd, unsigned long request, ...) __THROW
{
    va_list arguments;
    va_start(arguments, request);
    void *argument = va_arg(arguments, void *);
    va_end(arguments);

    const int saved = errno;
    const int result = answer(fd, request, argument);
    if (result == 0)
        errno = saved;
    if (result != NotOurs)
        return result;
    errno = saved;
    return nextIoctl()(fd, request, argument);
}

// The terminal attributes, through the C library, as Qt, Wine and Python set
// and read them; parity is kept here for a published terminal.
extern "C" __attribute__((visibility("default"))) int tcsetattr(int fd, int action, const struct termios *attributes) __THROW
{
    using Call = int (*)(int, int, const struct termios *);
    static const Call next = reinterpret_cast<Call>(::dlsym(RTLD_NEXT, "tcsetattr"));
    const int number = attributes ? publishedPty(fd) : -1;
    if (number < 0)
        return next(fd, action, attributes);
    struct termios kept = *attributes;
    kept.c_cflag &= ~PARENB;
    const int result = next(fd, action, &kept);
    if (result == 0)
        g_parity[std::size_t(number)] = attributes->c_cflag & PARENB;
    return result;
}

extern "C" __attribute__((visibility("default"))) int tcgetattr(int fd, struct termios *attributes) __THROW
{
    using Call = int (*)(int, struct termios *);
    static const Call next = reinterpret_cast<Call>(::dlsym(RTLD_NEXT, "tcgetattr"));
    const int result = next(fd, attributes);
    if (result != 0)
        return result;
    const int number = publishedPty(fd);
    if (number >= 0)
        attributes->c_cflag = (attributes->c_cflag & ~PARENB) | g_parity[std::size_t(number)].load();
    return result;
}
