#include "simulator/line_state_file.h"
#include "tests/support/comm_error_from.h"
#include "tests/support/modem_line_preload.h"
#include "tests/support/pseudo_terminal.h"
#include "tests/support/published_lines.h"
#include "tests/support/store_sandbox.h"

#include "app_settings/port_mapping.h"
#include "app_settings/settings_keys.h"
#include "platform/serial/posix/posix_serial_device.h"
#include "platform/serial/serial_comm_control.h"
#include "platform/settings/settings_store.h"
#include "platform/ui/sleep.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QDateTime>
#include <QLockFile>
#include <QProcess>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QtTest>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <limits>
#include <optional>
#include <thread>

#include <dlfcn.h>
#include <cstdarg>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

using platform::CommError;
using platform::LineCounters;
namespace comm_error = platform::comm_error;
namespace comm_event = platform::comm_event;

Q_DECLARE_METATYPE(platform::LineCounters)

namespace {

// The control flags handed to the system, call by call. A pseudo-terminal
// keeps speed and stop bits but forces 8 data bits without parity, so what a
// serial driver would be told is seen here.
QList<tcflag_t> requestedControlFlags;

} // namespace

// Takes the place of the C library's tcsetattr, records, and passes the call on.
extern "C" int tcsetattr(int fd, int action, const struct termios *attributes)
{
    using Call = int (*)(int, int, const struct termios *);
    static const Call next = reinterpret_cast<Call>(::dlsym(RTLD_NEXT, "tcsetattr"));
    requestedControlFlags.append(attributes->c_cflag);
    return next(fd, action, attributes);
}

namespace {

// A link that the test swaps to another target right after the device's first
// look at it (stat) or first open of it: the moment a second look at the path
// would see something else.
enum class SwapAfter { Nothing, Stat, Open };
SwapAfter swapAfter = SwapAfter::Nothing;
QByteArray swapLink;
QByteArray swapTarget;

void swapIfDue(SwapAfter call, const char *path)
{
    if (swapAfter != call || !path || swapLink != path)
        return;
    swapAfter = SwapAfter::Nothing;
    ::unlink(swapLink.constData());
    if (::symlink(swapTarget.constData(), swapLink.constData()) == -1)
        ::abort(); // the row would test nothing
}

template <typename Call>
Call nextCall(const char *name)
{
    return reinterpret_cast<Call>(::dlsym(RTLD_NEXT, name));
}

int openMode(int flags, va_list arguments)
{
    return (flags & (O_CREAT | O_TMPFILE)) ? va_arg(arguments, int) : 0;
}

} // namespace

// The calls with which a program looks at a path and opens it, each passed on
// and followed by the swap when it is due. (A build with 64-bit file offsets
// calls stat64 and open64 instead; the rows then say the link was never reached.)
extern "C" int stat(const char *path, struct stat *info)
{
    static const auto next = nextCall<int (*)(const char *, struct stat *)>("stat");
    const int result = next(path, info);
    swapIfDue(SwapAfter::Stat, path);
    return result;
}

extern "C" int open(const char *path, int flags, ...)
{
    static const auto next = nextCall<int (*)(const char *, int, ...)>("open");
    va_list arguments;
    va_start(arguments, flags);
    const int mode = openMode(flags, arguments);
    va_end(arguments);
    const int result = next(path, flags, mode);
    swapIfDue(SwapAfter::Open, path);
    return result;
}

// The kernel's terminal settings with the speed as a number, which
// <termios.h> leaves out; the layout is the kernel's ABI.
struct termios2
{
    tcflag_t c_iflag, c_oflag, c_cflag, c_lflag;
    cc_t c_line;
    cc_t c_cc[19];
    speed_t c_ispeed, c_ospeed;
};

namespace {

using Clock = std::chrono::steady_clock;

void mapPort(int port, const QString &path)
{
    QVERIFY(platform::SettingsStore::write(settings_keys::Application, settings_keys::SectionPorts,
                                           settings_keys::PortKey(port), path));
}

// The codes of the OnComm events delivered so far.
class EventLog
{
public:
    explicit EventLog(platform::CommControl *control)
    {
        QObject::connect(control, &platform::CommControl::OnComm, control,
                         [this, control] { codes.append(control->commEvent()); });
    }
    QList<qint16> codes;
};

// A sandboxed store with COM1 mapped to a fresh pseudo-terminal, and the
// serial control set to COM1, not yet open.
struct PortRig
{
    PortRig()
    {
        mapPort(1, pty.slavePath());
        control->setCommPort(1);
    }
    StoreSandbox sandbox;
    PseudoTerminal pty;
    const std::unique_ptr<platform::CommControl> control = platform::CreateSerialCommControl(ResolveComPort);
};

LineCounters counters(int cts, int dsr, int cd, int ring, int breaks, int frame, int overrun,
                      int bufferOverrun, int parity)
{
    LineCounters c;
    c.cts = cts;
    c.dsr = dsr;
    c.cd = cd;
    c.ring = ring;
    c.breaks = breaks;
    c.frame = frame;
    c.overrun = overrun;
    c.bufferOverrun = bufferOverrun;
    c.parity = parity;
    return c;
}

} // namespace

class tst_PosixCommControl : public QObject
{
    Q_OBJECT

private slots:
    void lineEventsFromCounters_data();
    void lineEventsFromCounters();

    void probeReachesDeviceDuringSleepAndAnswerIsCounted();
    void bytesWaitingBeforeOpenAreTakenByInput();
    void outputArrivesExactly_data();
    void outputArrivesExactly();
    void inputTakesBufferedAndSystemBytesInOrder_data();
    void inputTakesBufferedAndSystemBytesInOrder();
    void receiveQueueIsBounded_data();
    void receiveQueueIsBounded();
    void lineSettingsReachTheDevice_data();
    void lineSettingsReachTheDevice();
    void speedsWithoutTheirOwnConstantReachTheDevice_data();
    void speedsWithoutTheirOwnConstantReachTheDevice();
    void settingsTheLineCannotTakeAreRefusedAtOpen_data();
    void settingsTheLineCannotTakeAreRefusedAtOpen();

    void invalidPortNumbers_data();
    void invalidPortNumbers();
    void systemConsoleIsNeverOpened_data();
    void systemConsoleIsNeverOpened();
    void consoleIsCheckedOnTheDescriptorInUse_data();
    void consoleIsCheckedOnTheDescriptorInUse();
    void controllingTerminalIsComparedWithTheConsole_data();
    void controllingTerminalIsComparedWithTheConsole();
    void portInUseIsNotAnInvalidPort_data();
    void portInUseIsNotAnInvalidPort();
    void lockFileTellsOtherProgramsThePortIsTaken_data();
    void lockFileTellsOtherProgramsThePortIsTaken();
    void onlyAcceptedChangesReachTheNextOpening_data();
    void onlyAcceptedChangesReachTheNextOpening();

    void hangUpGivesOneDeviceLost_data();
    void hangUpGivesOneDeviceLost();
    void lineChangesBecomeEvents_data();
    void lineChangesBecomeEvents();
};

void tst_PosixCommControl::lineEventsFromCounters_data()
{
    QTest::addColumn<LineCounters>("after");
    QTest::addColumn<QList<qint16>>("expected");
    // Against a reading of 5 everywhere: counters keep growing while the port is open.
    QTest::newRow("nothing moved") << counters(5, 5, 5, 5, 5, 5, 5, 5, 5) << QList<qint16>{};
    QTest::newRow("CTS changed") << counters(6, 5, 5, 5, 5, 5, 5, 5, 5) << QList<qint16>{comm_event::CTS};
    QTest::newRow("DSR pulsed between two polls")
        << counters(5, 7, 5, 5, 5, 5, 5, 5, 5) << QList<qint16>{comm_event::DSR};
    QTest::newRow("cable pulled: CTS, DSR and CD dropped")
        << counters(6, 6, 6, 5, 5, 5, 5, 5, 5)
        << QList<qint16>{comm_event::CTS, comm_event::DSR, comm_event::CD};
    QTest::newRow("break received") << counters(5, 5, 5, 5, 6, 5, 5, 5, 5) << QList<qint16>{comm_event::Break};
    QTest::newRow("ring") << counters(5, 5, 5, 6, 5, 5, 5, 5, 5) << QList<qint16>{comm_event::Ring};
    QTest::newRow("receive errors")
        << counters(5, 5, 5, 5, 5, 6, 6, 6, 6)
        << QList<qint16>{comm_event::Frame, comm_event::Overrun, comm_event::RxOver, comm_event::RxParity};
}

void tst_PosixCommControl::lineEventsFromCounters()
{
    QFETCH(LineCounters, after);
    QFETCH(QList<qint16>, expected);
    QCOMPARE(platform::LineEventsBetween(counters(5, 5, 5, 5, 5, 5, 5, 5, 5), after), expected);
}

void tst_PosixCommControl::probeReachesDeviceDuringSleepAndAnswerIsCounted()
{
    PortRig rig;
    QVERIFY(rig.pty.isValid());
    platform::CommControl *control = rig.control.get();
    EventLog events(control);
    control->setSettings(QStringLiteral("2400,E,8,2"));
    control->setPortOpen(true);
    QVERIFY(control->portOpen());
    QCOMPARE(control->input(), QByteArray());

    const QByteArray answer("\x55\xAA", 2);
    QByteArray received;
    Clock::time_point receivedAt {};
    std::thread device([&] {
        received = rig.pty.read(1, 2000);
        receivedAt = Clock::now();
        if (!received.isEmpty())
            rig.pty.write(answer);
        received += rig.pty.readFor(50); // anything sent after the probe
    });

    control->setOutput(QByteArray(1, char(0xC0)));
    platform::Sleep(100); // no event loop runs
    const Clock::time_point sleepEnded = Clock::now();
    const qint16 waiting = control->inBufferCount();
    device.join();

    QCOMPARE(received, QByteArray(1, char(0xC0)));
    QVERIFY2(receivedAt < sleepEnded, "the probe reached the device only after the sleep");
    QCOMPARE(waiting, qint16(2));
    QCOMPARE(control->input(), answer);
    QCOMPARE(control->inBufferCount(), qint16(0));

    // A pseudo-terminal has no line states: supervision stays quiet.
    QTest::qWait(60);
    QCOMPARE(events.codes, QList<qint16>{});
    QVERIFY(control->portOpen());
}

void tst_PosixCommControl::bytesWaitingBeforeOpenAreTakenByInput()
{
    PortRig rig;
    QVERIFY(rig.pty.isValid());
    QVERIFY(rig.pty.write("stale"));
    platform::CommControl &control = *rig.control;
    control.setPortOpen(true);
    QCOMPARE(control.inBufferCount(), qint16(5));
    QCOMPARE(control.input(), QByteArray("stale"));
    QCOMPARE(control.inBufferCount(), qint16(0));

    QVERIFY(rig.pty.write("new"));
    QTRY_COMPARE(control.inBufferCount(), qint16(3));
    QCOMPARE(control.input(), QByteArray("new"));
}

void tst_PosixCommControl::outputArrivesExactly_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("probe") << QByteArray(1, char(0xC0));
    QTest::newRow("reset all") << QByteArray(1, char(0x80));
    QTest::newRow("line ends and zero stay as they are") << QByteArray("\r\n\0\n", 4);
    QByteArray every;
    for (int value = 0; value < 256; ++value)
        every.append(char(value));
    QTest::newRow("every byte value") << every;
}

void tst_PosixCommControl::outputArrivesExactly()
{
    QFETCH(QByteArray, bytes);
    PortRig rig;
    QVERIFY(rig.pty.isValid());
    platform::CommControl &control = *rig.control;
    control.setSettings(QStringLiteral("2400,E,8,2"));
    control.setPortOpen(true);
    control.setOutput(bytes);
    QCOMPARE(rig.pty.read(bytes.size(), 1000), bytes);
    QCOMPARE(rig.pty.readFor(50), QByteArray()); // nothing appended
}

void tst_PosixCommControl::inputTakesBufferedAndSystemBytesInOrder_data()
{
    QTest::addColumn<int>("inputLen");
    QTest::addColumn<QByteArray>("firstRead");
    QTest::addColumn<int>("countAfter");
    QTest::addColumn<QByteArray>("secondRead");
    QTest::newRow("InputLen 0 takes everything") << 0 << QByteArray("ABCD") << 0 << QByteArray();
    QTest::newRow("InputLen 3 takes three, keeps the rest") << 3 << QByteArray("ABC") << 1 << QByteArray("D");
}

void tst_PosixCommControl::inputTakesBufferedAndSystemBytesInOrder()
{
    QFETCH(int, inputLen);
    QFETCH(QByteArray, firstRead);
    QFETCH(int, countAfter);
    QFETCH(QByteArray, secondRead);
    PortRig rig;
    QVERIFY(rig.pty.isValid());
    platform::CommControl &control = *rig.control;
    control.setInputLen(qint16(inputLen));
    control.setPortOpen(true);

    QVERIFY(rig.pty.write("AB"));
    QTest::qWait(50); // the event loop moves these into the receive queue
    QVERIFY(rig.pty.write("CD"));
    platform::Sleep(30); // these stay with the system
    QCOMPARE(control.inBufferCount(), qint16(4));
    QCOMPARE(control.input(), firstRead);
    QCOMPARE(control.inBufferCount(), qint16(countAfter));
    QCOMPARE(control.input(), secondRead);
    QCOMPARE(control.inBufferCount(), qint16(0));
}

void tst_PosixCommControl::receiveQueueIsBounded_data()
{
    QTest::addColumn<int>("flood");
    QTest::addColumn<bool>("eventLoopRuns"); // else the window's thread sleeps
    QTest::newRow("1 MB while the event loop runs") << 1024 * 1024 << true;
    QTest::newRow("64 KB during a sleep") << 64 * 1024 << false;
    QTest::newRow("exactly a full queue") << 4096 << true;
}

void tst_PosixCommControl::receiveQueueIsBounded()
{
    QFETCH(int, flood);
    QFETCH(bool, eventLoopRuns);
    constexpr int Queue = 4096;
    PortRig rig;
    QVERIFY(rig.pty.isValid());
    platform::CommControl &control = *rig.control;
    control.setPortOpen(true);

    QByteArray sent(flood, Qt::Uninitialized);
    for (int i = 0; i < flood; ++i)
        sent[i] = char(i % 251);
    std::atomic<bool> written = false;
    std::thread device([&] {
        // The master blocks while the terminal's own buffer is full.
        for (int offset = 0; offset < flood; offset += 4096)
            rig.pty.write(sent.mid(offset, 4096));
        written = true;
    });
    if (eventLoopRuns) {
        QTRY_VERIFY_WITH_TIMEOUT(written, 20000);
        QTest::qWait(50);
    } else {
        platform::Sleep(100);
    }
    const qint16 counted = control.inBufferCount();
    const QByteArray taken = control.input();
    if (!eventLoopRuns)
        QTRY_VERIFY_WITH_TIMEOUT(written, 20000); // what is left drains while the loop runs
    device.join();

    QVERIFY2(counted <= Queue, qPrintable(QString::number(counted)));
    QVERIFY2(taken.size() <= Queue, qPrintable(QString::number(taken.size())));
    if (eventLoopRuns) {
        // The queue keeps what came first; the rest is dropped, as on an overrun.
        QCOMPARE(counted, qint16(Queue));
        QCOMPARE(taken, sent.left(Queue));
        QCOMPARE(control.inBufferCount(), qint16(0));
        QVERIFY(control.portOpen());
    }
}

void tst_PosixCommControl::lineSettingsReachTheDevice_data()
{
    QTest::addColumn<QString>("settings");
    QTest::addColumn<uint>("speed");
    QTest::addColumn<uint>("size");
    QTest::addColumn<uint>("flagsSet");
    QTest::addColumn<uint>("flagsClear");
    QTest::newRow("the trainer's 2400,E,8,2") << "2400,E,8,2" << uint(B2400) << uint(CS8)
                                              << uint(PARENB | CSTOPB) << uint(PARODD | CMSPAR | CRTSCTS);
    QTest::newRow("9600,O,7,1") << "9600,O,7,1" << uint(B9600) << uint(CS7) << uint(PARENB | PARODD)
                                << uint(CSTOPB | CMSPAR);
    QTest::newRow("300,N,5,1") << "300,N,5,1" << uint(B300) << uint(CS5) << 0u << uint(PARENB | CSTOPB);
    QTest::newRow("1200,M,8,1") << "1200,M,8,1" << uint(B1200) << uint(CS8)
                                << uint(PARENB | CMSPAR | PARODD) << uint(CSTOPB);
    QTest::newRow("19200,S,6,2") << "19200,S,6,2" << uint(B19200) << uint(CS6)
                                 << uint(PARENB | CMSPAR | CSTOPB) << uint(PARODD);
}

void tst_PosixCommControl::lineSettingsReachTheDevice()
{
    QFETCH(QString, settings);
    QFETCH(uint, speed);
    QFETCH(uint, size);
    QFETCH(uint, flagsSet);
    QFETCH(uint, flagsClear);
    PortRig rig;
    QVERIFY(rig.pty.isValid());
    platform::CommControl &control = *rig.control;
    control.setSettings(settings);
    requestedControlFlags.clear();
    control.setPortOpen(true);
    const auto asked = [&](tcflag_t flags) {
        return (flags & CSIZE) == size && (flags & flagsSet) == flagsSet && (flags & flagsClear) == 0;
    };
    QVERIFY2(std::any_of(requestedControlFlags.cbegin(), requestedControlFlags.cend(), asked),
             "the data bits, parity and stop bits were never asked for");

    const termios kept = rig.pty.slaveAttributes();
    QCOMPARE(uint(::cfgetospeed(&kept)), speed);
    QCOMPARE(uint(::cfgetispeed(&kept)), speed);
    QCOMPARE(uint(kept.c_cflag & CSTOPB), uint(flagsSet & CSTOPB));
}

void tst_PosixCommControl::speedsWithoutTheirOwnConstantReachTheDevice_data()
{
    QTest::addColumn<int>("speed");
    QTest::newRow("14400") << 14400;
    QTest::newRow("250000, as a DMX line runs") << 250000;
}

void tst_PosixCommControl::speedsWithoutTheirOwnConstantReachTheDevice()
{
    QFETCH(int, speed);
    PortRig rig;
    QVERIFY(rig.pty.isValid());
    platform::CommControl &control = *rig.control;
    control.setSettings(QStringLiteral("%1,E,8,2").arg(speed));
    control.setPortOpen(true);
    QVERIFY(control.portOpen());

    termios2 kept {};
    QCOMPARE(::ioctl(rig.pty.master(), TCGETS2, &kept), 0);
    QCOMPARE(int(kept.c_ospeed), speed);
    QCOMPARE(int(kept.c_ispeed), speed);
    QCOMPARE(uint(kept.c_cflag & CSTOPB), uint(CSTOPB));
}

void tst_PosixCommControl::settingsTheLineCannotTakeAreRefusedAtOpen_data()
{
    QTest::addColumn<QString>("settings");
    QTest::newRow("4 data bits") << "2400,E,4,2";
    QTest::newRow("1.5 stop bits") << "2400,E,8,1.5";
}

void tst_PosixCommControl::settingsTheLineCannotTakeAreRefusedAtOpen()
{
    QFETCH(QString, settings);
    PortRig rig;
    QVERIFY(rig.pty.isValid());
    platform::CommControl &control = *rig.control;
    control.setSettings(settings); // valid text
    const auto error = CommErrorFrom([&] { control.setPortOpen(true); });
    QVERIFY(error);
    QCOMPARE(error->number, comm_error::SettingsRejected);
    QVERIFY2(error->description.contains(rig.pty.slavePath()), qPrintable(error->description));
    QVERIFY(!control.portOpen());
}

void tst_PosixCommControl::invalidPortNumbers_data()
{
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("device"); // what COM5 is mapped to
    QTest::newRow("port 0") << 0 << QString();
    QTest::newRow("negative port") << -3 << QString();
    QTest::newRow("mapped to a missing path") << 5 << "/nonexistent/ttyUSB0";
    QTest::newRow("mapped to a regular file") << 5 << "<file>";
    QTest::newRow("mapped to a directory") << 5 << "<directory>";
    QTest::newRow("mapped to /dev/null, a device but no terminal") << 5 << "/dev/null";
}

void tst_PosixCommControl::invalidPortNumbers()
{
    QFETCH(int, port);
    QFETCH(QString, device);
    StoreSandbox sandbox;
    QTemporaryFile file;
    QVERIFY(file.open());
    file.write("not a device");
    file.flush();
    QTemporaryDir directory;
    if (device == QLatin1String("<file>"))
        device = file.fileName();
    else if (device == QLatin1String("<directory>"))
        device = directory.path();
    if (!device.isNull())
        mapPort(port, device);

    const auto controlOwner = platform::CreateSerialCommControl(ResolveComPort);
    platform::CommControl &control = *controlOwner;
    EventLog events(&control);
    control.setCommPort(qint16(port));
    const auto error = CommErrorFrom([&] { control.setPortOpen(true); });
    QVERIFY(error);
    QCOMPARE(error->number, comm_error::InvalidPortNumber);
    QCOMPARE(error->description, QStringLiteral("Invalid port number"));
    QVERIFY(!control.portOpen());
    QCOMPARE(file.readAll(), QByteArray()); // nothing was written to the file
    QTest::qWait(20);
    QCOMPARE(events.codes, QList<qint16>{});
}

void tst_PosixCommControl::systemConsoleIsNeverOpened_data()
{
    QTest::addColumn<QString>("consoles"); // <pty> stands for the terminal COM1 maps to
    QTest::addColumn<bool>("throughLink");
    QTest::addColumn<bool>("refused");
    QTest::newRow("the port is the console") << "tty0 <pty>" << false << true;
    QTest::newRow("a link to the console") << "<pty>" << true << true;
    QTest::newRow("another terminal is the console") << "tty0 ttyS0" << false << false;
    QTest::newRow("a console name that names no device") << "nosuchtty" << false << false;
    QTest::newRow("no console at all") << "" << false << false;
}

void tst_PosixCommControl::systemConsoleIsNeverOpened()
{
    QFETCH(QString, consoles);
    QFETCH(bool, throughLink);
    QFETCH(bool, refused);
    StoreSandbox sandbox;
    PseudoTerminal pty;
    QVERIFY(pty.isValid());
    QTemporaryDir links;
    QString mapped = pty.slavePath();
    if (throughLink) {
        mapped = links.filePath(QStringLiteral("console-link"));
        QVERIFY(QFile::link(pty.slavePath(), mapped));
    }
    mapPort(1, mapped);
    const QString ptyName = pty.slavePath().mid(int(qstrlen("/dev/")));
    const QStringList names =
        consoles.replace(QStringLiteral("<pty>"), ptyName).split(QLatin1Char(' '), Qt::SkipEmptyParts);
    const termios before = pty.slaveAttributes();

    platform::DeviceCommControl control(ResolveComPort, [names](const platform::PortTarget &) {
        return platform::CreatePosixSerialDevice([names] { return names; });
    });
    control.setCommPort(1);
    control.setSettings(QStringLiteral("2400,E,8,2"));
    const auto error = CommErrorFrom([&] { control.setPortOpen(true); });
    if (!refused) {
        QVERIFY(!error);
        QVERIFY(control.portOpen());
        return;
    }
    QVERIFY(error);
    QCOMPARE(error->number, comm_error::InvalidPortNumber);
    QVERIFY2(error->description.contains(mapped) && error->description.contains(QStringLiteral("system console")),
             qPrintable(error->description));
    QVERIFY(!control.portOpen());
    // Neither the line settings nor a byte reached the console.
    const termios after = pty.slaveAttributes();
    QCOMPARE(after.c_cflag, before.c_cflag);
    QCOMPARE(cfgetospeed(&after), cfgetospeed(&before));
    QCOMPARE(pty.readFor(30), QByteArray());
}

void tst_PosixCommControl::consoleIsCheckedOnTheDescriptorInUse_data()
{
    QTest::addColumn<int>("swap"); // SwapAfter
    QTest::addColumn<bool>("refused");
    // Either the console was opened and is refused, or the harmless terminal
    // that was looked at is the one used: never the console.
    QTest::newRow("link swapped to the console after a look at it") << int(SwapAfter::Stat) << true;
    QTest::newRow("link swapped to the console after it was opened") << int(SwapAfter::Open) << false;
}

void tst_PosixCommControl::consoleIsCheckedOnTheDescriptorInUse()
{
    QFETCH(int, swap);
    QFETCH(bool, refused);
    StoreSandbox sandbox;
    PseudoTerminal harmless;
    PseudoTerminal console;
    QVERIFY(harmless.isValid() && console.isValid());
    QTemporaryDir links;
    const QString mapped = links.filePath(QStringLiteral("adapter"));
    QVERIFY(QFile::link(harmless.slavePath(), mapped));
    mapPort(1, mapped);
    const QStringList names{console.slavePath().mid(int(qstrlen("/dev/")))};
    const termios before = console.slaveAttributes();

    platform::DeviceCommControl control(ResolveComPort, [names](const platform::PortTarget &) {
        return platform::CreatePosixSerialDevice([names] { return names; });
    });
    control.setCommPort(1);
    control.setSettings(QStringLiteral("2400,E,8,2"));
    swapLink = QFile::encodeName(mapped);
    swapTarget = QFile::encodeName(console.slavePath());
    swapAfter = SwapAfter(swap);
    const auto error = CommErrorFrom([&] { control.setPortOpen(true); });
    const bool swapped = swapAfter == SwapAfter::Nothing;
    swapAfter = SwapAfter::Nothing;
    QVERIFY2(swapped, "the device never reached the link");
    if (refused) {
        QVERIFY(error);
        QCOMPARE(error->number, comm_error::InvalidPortNumber);
        QVERIFY2(error->description.contains(QStringLiteral("system console")), qPrintable(error->description));
        QVERIFY(!control.portOpen());
    } else {
        QVERIFY2(!error, qPrintable(error ? error->description : QString()));
        control.setOutput("h");
        QCOMPARE(harmless.read(1, 1000), QByteArray("h"));
        control.setPortOpen(false);
    }
    const termios after = console.slaveAttributes();
    QCOMPARE(after.c_cflag, before.c_cflag);
    QCOMPARE(cfgetospeed(&after), cfgetospeed(&before));
    QCOMPARE(console.readFor(30), QByteArray());
}

void tst_PosixCommControl::controllingTerminalIsComparedWithTheConsole_data()
{
    QTest::addColumn<bool>("isConsole");
    QTest::addColumn<int>("outcome"); // of the child, below
    QTest::newRow("/dev/tty stands for the console") << true << 0;
    QTest::newRow("/dev/tty stands for another terminal") << false << 1;
}

void tst_PosixCommControl::controllingTerminalIsComparedWithTheConsole()
{
    QFETCH(bool, isConsole);
    QFETCH(int, outcome);
    enum Outcome { RefusedAsConsole, Opened, OtherError, NoControllingTerminal };
    PseudoTerminal pty;
    QVERIFY(pty.isValid());
    const QStringList names =
        isConsole ? QStringList{pty.slavePath().mid(int(qstrlen("/dev/")))} : QStringList{};
    const termios before = pty.slaveAttributes();
    std::fflush(nullptr);

    // Only a session of its own can take the terminal as its controlling one.
    const pid_t child = ::fork();
    QVERIFY(child != -1);
    if (child == 0) {
        if (::setsid() == -1 || ::open(QFile::encodeName(pty.slavePath()).constData(), O_RDWR) == -1)
            ::_exit(NoControllingTerminal);
        platform::PortTarget target;
        target.kind = platform::PortTarget::Kind::Device;
        target.number = 1;
        target.device = QStringLiteral("/dev/tty");
        const auto device = platform::CreatePosixSerialDevice([names] { return names; });
        const auto error = CommErrorFrom([&] {
            device->open(target, platform::LineSettings{2400, platform::Parity::Even, 8, platform::StopBits::Two},
                         QStringLiteral("2400,E,8,2"));
        });
        if (!error) {
            device->close(); // _exit runs no destructor, and the lock file must go
            ::_exit(Opened);
        }
        const bool console = error->number == comm_error::InvalidPortNumber
            && error->description.contains(QStringLiteral("system console"));
        ::_exit(console ? RefusedAsConsole : OtherError);
    }
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
    QVERIFY(WIFEXITED(status));
    QCOMPARE(WEXITSTATUS(status), outcome);
    QVERIFY2(SerialLockFile(QStringLiteral("/dev/tty")).isEmpty(), "the child left its lock file behind");
    if (isConsole) {
        const termios after = pty.slaveAttributes();
        QCOMPARE(after.c_cflag, before.c_cflag);
        QCOMPARE(cfgetospeed(&after), cfgetospeed(&before));
    }
}

void tst_PosixCommControl::portInUseIsNotAnInvalidPort_data()
{
    QTest::addColumn<bool>("throughLink");
    QTest::newRow("same device path") << false;
    QTest::newRow("same device under another name") << true;
}

void tst_PosixCommControl::portInUseIsNotAnInvalidPort()
{
    QFETCH(bool, throughLink);
    PortRig rig;
    QVERIFY(rig.pty.isValid());
    QTemporaryDir links;
    QString secondPath = rig.pty.slavePath();
    if (throughLink) {
        secondPath = links.filePath(QStringLiteral("usb-adapter"));
        QVERIFY(QFile::link(rig.pty.slavePath(), secondPath));
    }
    mapPort(2, secondPath);

    const auto firstOwner = platform::CreateSerialCommControl(ResolveComPort);
    platform::CommControl &first = *firstOwner;
    first.setCommPort(1);
    first.setPortOpen(true);
    const auto secondOwner = platform::CreateSerialCommControl(ResolveComPort);
    platform::CommControl &second = *secondOwner;
    second.setCommPort(2);
    const auto error = CommErrorFrom([&] { second.setPortOpen(true); });
    QVERIFY(error);
    QCOMPARE(error->number, comm_error::PortInUse);
    QVERIFY2(error->description.contains(secondPath), qPrintable(error->description));
    QVERIFY(!second.portOpen());

    // The first keeps working, and once it lets go the second gets the device.
    first.setOutput("1");
    QCOMPARE(rig.pty.read(1, 1000), QByteArray("1"));
    first.setPortOpen(false);
    second.setPortOpen(true);
    second.setOutput("2");
    QCOMPARE(rig.pty.read(1, 1000), QByteArray("2"));
}

void tst_PosixCommControl::lockFileTellsOtherProgramsThePortIsTaken_data()
{
    QTest::addColumn<QString>("holder");
    QTest::addColumn<bool>("refused");
    QTest::newRow("a program that holds it through QLockFile") << "qlockfile" << true;
    // As programs that write the pid alone leave it: no lock on the file itself.
    QTest::newRow("a plain lock file an hour old, its process running") << "plain running" << true;
    QTest::newRow("a plain lock file whose process has ended") << "plain ended" << false;
}

void tst_PosixCommControl::lockFileTellsOtherProgramsThePortIsTaken()
{
    QFETCH(QString, holder);
    QFETCH(bool, refused);
    PortRig rig;
    QVERIFY(rig.pty.isValid());
    platform::CommControl &control = *rig.control;
    control.setPortOpen(true);
    const QString lockPath = SerialLockFile(rig.pty.slavePath());
    QVERIFY2(!lockPath.isEmpty(), "the port was taken without a lock file");
    QFile lock(lockPath);
    QVERIFY(lock.open(QIODevice::ReadOnly));
    QCOMPARE(lock.readLine().trimmed(), QByteArray::number(QCoreApplication::applicationPid()));
    lock.close();
    control.setPortOpen(false);
    QVERIFY2(!QFile::exists(lockPath), qPrintable(lockPath + QStringLiteral(" was left behind")));

    QLockFile other(lockPath);
    QProcess process;
    if (holder == QLatin1String("qlockfile")) {
        QVERIFY(other.tryLock(0));
    } else {
        process.start(QStringLiteral("sleep"), {QStringLiteral("30")});
        QVERIFY(process.waitForStarted());
        const qint64 pid = process.processId();
        if (holder == QLatin1String("plain ended")) {
            process.kill();
            QVERIFY(process.waitForFinished());
        }
        QVERIFY(lock.open(QIODevice::WriteOnly));
        lock.write(QByteArray::number(pid).rightJustified(10, ' ') + '\n');
        lock.close();
        const QDateTime anHourAgo = QDateTime::currentDateTime().addSecs(-3600);
        QVERIFY(lock.open(QIODevice::ReadWrite));
        QVERIFY(lock.setFileTime(anHourAgo, QFileDevice::FileModificationTime));
        lock.close();
    }
    const auto error = CommErrorFrom([&] { control.setPortOpen(true); });
    if (!refused) {
        QVERIFY2(!error, qPrintable(error ? error->description : QString()));
        QVERIFY(control.portOpen());
        return;
    }
    QVERIFY(error);
    QCOMPARE(error->number, comm_error::PortInUse);
    QVERIFY2(error->description.contains(lockPath), qPrintable(error->description));
    QVERIFY(!control.portOpen());
    QCOMPARE(rig.pty.readFor(30), QByteArray());
    if (holder == QLatin1String("qlockfile")) {
        other.unlock();
    } else {
        process.kill();
        process.waitForFinished();
        QFile::remove(lockPath);
    }
    control.setPortOpen(true);
    QVERIFY(control.portOpen());
}

void tst_PosixCommControl::onlyAcceptedChangesReachTheNextOpening_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<bool>("whileOpen");
    QTest::addColumn<uint>("speed"); // of the next opening
    QTest::newRow("CommPort while open, refused") << "CommPort" << true << uint(B2400);
    QTest::newRow("Settings while open, refused") << "Settings" << true << uint(B2400);
    QTest::newRow("PortOpen again while open, refused") << "PortOpen" << true << uint(B2400);
    QTest::newRow("Settings while closed, kept") << "Settings" << false << uint(B9600);
}

void tst_PosixCommControl::onlyAcceptedChangesReachTheNextOpening()
{
    QFETCH(QString, change);
    QFETCH(bool, whileOpen);
    QFETCH(uint, speed);
    PortRig rig;
    QVERIFY(rig.pty.isValid());
    mapPort(2, QStringLiteral("/nonexistent/ttyUSB1"));
    platform::CommControl &control = *rig.control;
    control.setSettings(QStringLiteral("2400,E,8,2"));
    control.setPortOpen(true);
    if (!whileOpen)
        control.setPortOpen(false);
    const auto error = CommErrorFrom([&] {
        if (change == QLatin1String("CommPort"))
            control.setCommPort(2);
        else if (change == QLatin1String("Settings"))
            control.setSettings(QStringLiteral("9600,N,8,1"));
        else
            control.setPortOpen(true);
    });
    // The numbers and texts of the refusals are the serial rules' own test.
    QCOMPARE(bool(error), whileOpen);
    QCOMPARE(control.portOpen(), whileOpen);

    // The next opening is the same port, at the speed that was accepted last.
    control.setPortOpen(false);
    control.setPortOpen(true);
    const termios attributes = rig.pty.slaveAttributes();
    QCOMPARE(uint(::cfgetospeed(&attributes)), speed);
    control.setOutput("x");
    QCOMPARE(rig.pty.read(1, 1000), QByteArray("x"));
}

void tst_PosixCommControl::hangUpGivesOneDeviceLost_data()
{
    QTest::addColumn<QString>("traffic");
    QTest::addColumn<bool>("lines"); // published for the modem-line fixture
    QTest::newRow("no data flowing") << "none" << false;
    QTest::newRow("hang-up that the read notifier does not report") << "unreported" << false;
    QTest::newRow("data received just before") << "received" << false;
    QTest::newRow("write after hang-up") << "write" << false;
    // The line counters themselves fail once the device is gone.
    QTest::newRow("modem lines, unreported") << "unreported" << true;
}

void tst_PosixCommControl::hangUpGivesOneDeviceLost()
{
    QFETCH(QString, traffic);
    QFETCH(bool, lines);
    if (lines && !modem_line_preload::FixtureLoaded())
        QSKIP(modem_line_preload::Missing());
    PortRig rig;
    QVERIFY(rig.pty.isValid());
    PublishedLines published(rig.pty.slavePath());
    if (lines)
        QVERIFY(published.publish());
    platform::CommControl &control = *rig.control;
    EventLog events(&control);
    control.setPortOpen(true);
    QTest::qWait(30);
    if (traffic == QLatin1String("unreported")) {
        // Stands for a read notification that never comes: the control has
        // to find the hang-up by itself.
        auto *rules = qobject_cast<platform::DeviceCommControl *>(&control);
        QVERIFY(rules && rules->device());
        auto *notifier = rules->device()->findChild<QSocketNotifier *>();
        QVERIFY(notifier);
        notifier->blockSignals(true);
    }

    if (traffic == QLatin1String("received")) {
        QVERIFY(rig.pty.write("xyz"));
        QTest::qWait(30);
    }
    rig.pty.closeMaster();
    if (traffic == QLatin1String("write")) {
        const auto error = CommErrorFrom([&] { control.setOutput(QByteArray(1, char(0x80))); });
        QVERIFY(error);
        QCOMPARE(error->number, comm_error::WriteFailed);
        QVERIFY(!control.portOpen());
    }

    QTRY_COMPARE_WITH_TIMEOUT(events.codes, QList<qint16>{comm_event::DeviceLost}, 2000);
    QVERIFY(!control.portOpen());
    QTest::qWait(100); // a hung-up port keeps reporting errors; none becomes a second event
    QCOMPARE(events.codes, QList<qint16>{comm_event::DeviceLost});
    control.setPortOpen(false);
    QCOMPARE(control.input(), QByteArray());
    QCOMPARE(control.inBufferCount(), qint16(0));
}

void tst_PosixCommControl::lineChangesBecomeEvents_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<QList<qint16>>("events");

    QTest::newRow("CTS drops") << "cts" << QList<qint16>{comm_event::CTS};
    QTest::newRow("DSR drops") << "dsr" << QList<qint16>{comm_event::DSR};
    QTest::newRow("CD drops") << "cd" << QList<qint16>{comm_event::CD};
    QTest::newRow("a pulse of CTS between two polls") << "cts pulse" << QList<qint16>{comm_event::CTS};
    QTest::newRow("power off: all three in one poll")
        << "power off" << QList<qint16>{comm_event::CTS, comm_event::DSR, comm_event::CD};
    QTest::newRow("break") << "break" << QList<qint16>{comm_event::Break};
    QTest::newRow("noise") << "noise" << QList<qint16>{comm_event::Frame, comm_event::RxParity};
}

void tst_PosixCommControl::lineChangesBecomeEvents()
{
    QFETCH(QString, change);
    QFETCH(QList<qint16>, events);
    if (!modem_line_preload::FixtureLoaded())
        QSKIP(modem_line_preload::Missing());
    PortRig rig;
    QVERIFY(rig.pty.isValid());
    PublishedLines lines(rig.pty.slavePath());
    QVERIFY(lines.publish());
    platform::CommControl &control = *rig.control;
    EventLog log(&control);
    control.setPortOpen(true);
    QTest::qWait(50);
    QCOMPARE(log.codes, QList<qint16>());

    line_state_file::LineState &s = lines.state;
    if (change == QLatin1String("cts")) {
        s.bits &= ~line_state_file::Cts;
        ++s.cts;
    } else if (change == QLatin1String("dsr")) {
        s.bits &= ~line_state_file::Dsr;
        ++s.dsr;
    } else if (change == QLatin1String("cd")) {
        s.bits &= ~line_state_file::Cd;
        ++s.cd;
    } else if (change == QLatin1String("cts pulse")) {
        s.cts += 2;
    } else if (change == QLatin1String("power off")) {
        s.bits = 0;
        ++s.cts;
        ++s.dsr;
        ++s.cd;
    } else if (change == QLatin1String("break")) {
        ++s.breaks;
    } else {
        ++s.frame;
        ++s.parity;
    }
    QVERIFY(lines.publish());
    QTRY_COMPARE_WITH_TIMEOUT(log.codes, events, 2000);
    QTest::qWait(50);
    QCOMPARE(log.codes, events);
    QVERIFY(control.portOpen());
}

int main(int argc, char *argv[])
{
    modem_line_preload::RestartWithFixture(argv);
    QCoreApplication app(argc, argv);
    tst_PosixCommControl test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_posix_comm_control.moc"
