// The modem-line fixture, loaded into this test: what it answers for a
// pseudo-terminal with published lines, and what it leaves to the system.
#include "simulator/line_state_file.h"
#include "tests/support/modem_line_preload.h"
#include "tests/support/pseudo_terminal.h"
#include "tests/support/published_lines.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <future>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/serial.h>
#endif

using line_state_file::LineState;

namespace {

// The C library's own ioctl, to tell what the system answers without the fixture.
int systemIoctl(int fd, unsigned long request, void *argument)
{
    using Call = int (*)(int, unsigned long, ...);
    static void *libc = ::dlopen("libc.so.6", RTLD_NOW | RTLD_NOLOAD);
    static const Call call = libc ? reinterpret_cast<Call>(::dlsym(libc, "ioctl")) : nullptr;
    return call ? call(fd, request, argument) : -1;
}

struct Result
{
    int value = 0;
    int error = 0;
};

Result call(int fd, unsigned long request, void *argument)
{
    errno = 0;
    const int value = ::ioctl(fd, request, argument);
    return {value, value == -1 ? errno : 0};
}

// A pseudo-terminal whose slave the test opens as a program would, and its
// published line states.
class Rig
{
public:
    Rig()
        : m_port(m_pty.slavePath())
        , m_lines(m_pty.slavePath())
    {}

    bool isValid() const { return m_pty.isValid() && m_port.isOpen() && m_lines.isValid(); }
    bool publish(const LineState &state) const { return m_lines.publish(state); }
    void hangUp() { m_pty.closeMaster(); }
    int slave() const { return m_port.fd(); }

private:
    PseudoTerminal m_pty;
    TerminalEnd m_port;
    PublishedLines m_lines;
};

constexpr int AllOn = line_state_file::Cts | line_state_file::Dsr | line_state_file::Cd;

LineState state(int bits, int cts, int dsr, int cd, int ri, int breaks, int frame, int parity)
{
    LineState s;
    s.bits = bits;
    s.cts = cts;
    s.dsr = dsr;
    s.cd = cd;
    s.ri = ri;
    s.breaks = breaks;
    s.frame = frame;
    s.parity = parity;
    return s;
}

// A process id that names nobody any more.
pid_t endedProcess()
{
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(0);
    int status = 0;
    ::waitpid(child, &status, 0);
    return child;
}

} // namespace

Q_DECLARE_METATYPE(LineState)

class tst_ModemLineFixture : public QObject
{
    Q_OBJECT

private slots:
    void init();
#ifdef __linux__
    void answersFromThePublishedState_data();
    void answersFromThePublishedState();
    void leavesToTheSystemWhatIsNotOurs_data();
    void leavesToTheSystemWhatIsNotOurs();
    void outputsAreKeptAsSet();
    void parityIsKeptAsSet_data();
    void parityIsKeptAsSet();
    void waitBlocksUntilAWatchedLineChanges_data();
    void waitBlocksUntilAWatchedLineChanges();
    void hungUpTerminalGivesEio();
#endif
};

void tst_ModemLineFixture::init()
{
    if (!modem_line_preload::FixtureLoaded())
        QSKIP(modem_line_preload::Missing());
}

#ifdef __linux__

void tst_ModemLineFixture::answersFromThePublishedState_data()
{
    QTest::addColumn<LineState>("published");
    QTest::addColumn<int>("bits");

    QTest::newRow("base on: CTS, DSR, CD") << state(AllOn, 0, 0, 0, 0, 0, 0, 0) << AllOn;
    QTest::newRow("base off after three drops") << state(0, 1, 1, 1, 0, 0, 0, 0) << 0;
    QTest::newRow("ring, a break and noise counted")
        << state(AllOn | line_state_file::Ri, 2, 0, 0, 1, 1, 3, 4) << (AllOn | line_state_file::Ri);
}

void tst_ModemLineFixture::answersFromThePublishedState()
{
    QFETCH(LineState, published);
    QFETCH(int, bits);
    Rig rig;
    QVERIFY(rig.isValid());
    QVERIFY(rig.publish(published));

    int got = -1;
    QCOMPARE(call(rig.slave(), TIOCMGET, &got).value, 0);
    QCOMPARE(got, bits);

    serial_icounter_struct counts {};
    QCOMPARE(call(rig.slave(), TIOCGICOUNT, &counts).value, 0);
    QCOMPARE(counts.cts, published.cts);
    QCOMPARE(counts.dsr, published.dsr);
    QCOMPARE(counts.dcd, published.cd);
    QCOMPARE(counts.rng, published.ri);
    QCOMPARE(counts.brk, published.breaks);
    QCOMPARE(counts.frame, published.frame);
    QCOMPARE(counts.parity, published.parity);
}

void tst_ModemLineFixture::leavesToTheSystemWhatIsNotOurs_data()
{
    QTest::addColumn<QString>("device");  // "pty" or a path
    QTest::addColumn<QString>("writer");  // "none", "alive", "ended"
    QTest::addColumn<unsigned long>("request");

    QTest::newRow("terminal without published lines") << "pty" << "none" << (unsigned long)TIOCMGET;
    QTest::newRow("lines of a simulator that ended") << "pty" << "ended" << (unsigned long)TIOCGICOUNT;
    QTest::newRow("no terminal") << "/dev/null" << "alive" << (unsigned long)TIOCMGET;
    QTest::newRow("other requests") << "pty" << "alive" << (unsigned long)FIONREAD;
}

void tst_ModemLineFixture::leavesToTheSystemWhatIsNotOurs()
{
    QFETCH(QString, device);
    QFETCH(QString, writer);
    QFETCH(unsigned long, request);
    Rig rig;
    QVERIFY(rig.isValid());
    if (writer != QLatin1String("none")) {
        LineState published = state(AllOn, 0, 0, 0, 0, 0, 0, 0);
        if (writer == QLatin1String("ended"))
            published.writer = endedProcess();
        QVERIFY(rig.publish(published));
    }
    const int fd = device == QLatin1String("pty") ? rig.slave() : ::open(qPrintable(device), O_RDWR);
    QVERIFY(fd != -1);

    serial_icounter_struct viaFixture {};
    serial_icounter_struct viaSystem {};
    const Result fixture = call(fd, request, &viaFixture);
    errno = 0;
    const int value = systemIoctl(fd, request, &viaSystem);
    const Result system {value, value == -1 ? errno : 0};
    if (fd != rig.slave())
        ::close(fd);
    QCOMPARE(fixture.value, system.value);
    QCOMPARE(fixture.error, system.error);
    QCOMPARE(QByteArray(reinterpret_cast<char *>(&viaFixture), sizeof viaFixture),
             QByteArray(reinterpret_cast<char *>(&viaSystem), sizeof viaSystem));
}

void tst_ModemLineFixture::outputsAreKeptAsSet()
{
    Rig rig;
    QVERIFY(rig.isValid());
    QVERIFY(rig.publish(state(line_state_file::Cts, 0, 0, 0, 0, 0, 0, 0)));
    const auto bits = [&rig] {
        int got = -1;
        return call(rig.slave(), TIOCMGET, &got).value == 0 ? got : -1;
    };
    QCOMPARE(bits(), TIOCM_CTS);
    int change = TIOCM_DTR | TIOCM_RTS;
    QCOMPARE(call(rig.slave(), TIOCMBIS, &change).value, 0);
    QCOMPARE(bits(), TIOCM_CTS | TIOCM_DTR | TIOCM_RTS);
    change = TIOCM_RTS;
    QCOMPARE(call(rig.slave(), TIOCMBIC, &change).value, 0);
    QCOMPARE(bits(), TIOCM_CTS | TIOCM_DTR);
    // Inputs are the base's: a program cannot set them.
    change = TIOCM_RTS | TIOCM_DSR | TIOCM_CAR;
    QCOMPARE(call(rig.slave(), TIOCMSET, &change).value, 0);
    QCOMPARE(bits(), TIOCM_CTS | TIOCM_RTS);
}

void tst_ModemLineFixture::parityIsKeptAsSet_data()
{
    QTest::addColumn<bool>("published");
    // A pseudo-terminal drops parity, and fails a request whose only change it was.
    QTest::newRow("published terminal: kept as a serial port keeps it") << true;
    QTest::newRow("other terminal: as the system answers") << false;
}

void tst_ModemLineFixture::parityIsKeptAsSet()
{
    QFETCH(bool, published);
    Rig rig;
    QVERIFY(rig.isValid());
    if (published)
        QVERIFY(rig.publish(state(AllOn, 0, 0, 0, 0, 0, 0, 0)));
    termios attributes {};
    QCOMPARE(::tcgetattr(rig.slave(), &attributes), 0);
    ::cfmakeraw(&attributes);
    QCOMPARE(::tcsetattr(rig.slave(), TCSANOW, &attributes), 0);

    attributes.c_cflag |= PARENB; // even parity, and nothing else changed
    errno = 0;
    const int result = ::tcsetattr(rig.slave(), TCSANOW, &attributes);
    QCOMPARE(result, published ? 0 : -1);
    QCOMPARE(errno, published ? 0 : EINVAL);
    termios after {};
    QCOMPARE(::tcgetattr(rig.slave(), &after), 0);
    QCOMPARE(bool(after.c_cflag & PARENB), published);

    // Taken off again with another change: the rest reaches the terminal.
    attributes.c_cflag &= ~PARENB;
    attributes.c_cflag ^= CSTOPB;
    QCOMPARE(::tcsetattr(rig.slave(), TCSANOW, &attributes), 0);
    QCOMPARE(::tcgetattr(rig.slave(), &after), 0);
    QVERIFY(!(after.c_cflag & PARENB));
    QCOMPARE(after.c_cflag & CSTOPB, attributes.c_cflag & CSTOPB);
}

void tst_ModemLineFixture::waitBlocksUntilAWatchedLineChanges_data()
{
    QTest::addColumn<int>("mask");
    QTest::addColumn<QString>("first");  // a change that must not end the wait; empty: none
    QTest::addColumn<QString>("then");   // the change that ends it
    QTest::addColumn<int>("error");      // what the wait ends with: 0 or an errno

    QTest::newRow("CTS drops") << int(TIOCM_CTS) << "" << "cts" << 0;
    QTest::newRow("DSR and CD watched, CD drops") << int(TIOCM_DSR | TIOCM_CAR) << "" << "cd" << 0;
    QTest::newRow("ring") << int(TIOCM_RNG) << "" << "ri" << 0;
    QTest::newRow("unwatched DSR, then CTS") << int(TIOCM_CTS) << "dsr" << "cts" << 0;
    QTest::newRow("a break is no line change") << int(TIOCM_CTS | TIOCM_DSR) << "break" << "dsr" << 0;
    QTest::newRow("hang-up") << int(TIOCM_CTS | TIOCM_DSR | TIOCM_CAR) << "" << "hang-up" << EIO;
}

void tst_ModemLineFixture::waitBlocksUntilAWatchedLineChanges()
{
    QFETCH(int, mask);
    QFETCH(QString, first);
    QFETCH(QString, then);
    QFETCH(int, error);
    Rig rig;
    QVERIFY(rig.isValid());
    LineState lines = state(AllOn, 0, 0, 0, 0, 0, 0, 0);
    QVERIFY(rig.publish(lines));
    const auto change = [&rig, &lines](const QString &what) {
        if (what == QLatin1String("hang-up")) {
            rig.hangUp();
            return true;
        }
        int *counter = what == QLatin1String("cts") ? &lines.cts
            : what == QLatin1String("dsr")          ? &lines.dsr
            : what == QLatin1String("cd")           ? &lines.cd
            : what == QLatin1String("ri")           ? &lines.ri
                                                    : &lines.breaks;
        ++*counter;
        return rig.publish(lines);
    };

    std::future<Result> wait = std::async(std::launch::async, [&rig, mask] {
        return call(rig.slave(), TIOCMIWAIT, reinterpret_cast<void *>(static_cast<unsigned long>(mask)));
    });
    QCOMPARE(wait.wait_for(std::chrono::milliseconds(150)), std::future_status::timeout);
    if (!first.isEmpty()) {
        QVERIFY(change(first));
        QCOMPARE(wait.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    }
    QVERIFY(change(then));
    QCOMPARE(wait.wait_for(std::chrono::seconds(2)), std::future_status::ready);
    const Result result = wait.get();
    QCOMPARE(result.error, error);
    QCOMPARE(result.value, error ? -1 : 0);
}

void tst_ModemLineFixture::hungUpTerminalGivesEio()
{
    Rig rig;
    QVERIFY(rig.isValid());
    QVERIFY(rig.publish(state(AllOn, 0, 0, 0, 0, 0, 0, 0)));
    rig.hangUp();
    int bits = 0;
    serial_icounter_struct counts {};
    for (const Result &result : {call(rig.slave(), TIOCMGET, &bits), call(rig.slave(), TIOCGICOUNT, &counts),
                                 call(rig.slave(), TIOCMBIS, &bits)}) {
        QCOMPARE(result.value, -1);
        QCOMPARE(result.error, EIO);
    }
}

#endif // __linux__

int main(int argc, char *argv[])
{
    modem_line_preload::RestartWithFixture(argv);
    QCoreApplication app(argc, argv);
    tst_ModemLineFixture test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_modem_line_fixture.moc"
