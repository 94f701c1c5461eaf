// A session that ends by a signal (logout, shutdown, Ctrl-C) closes every window
// as its close box would, and the program then ends normally.
#include "tests/support/pseudo_terminal.h"
#include "tests/support/recording_message_boxes.h"
#include "tests/support/store_sandbox.h"

#include "app_settings/port_mapping.h"
#include "app_settings/settings_keys.h"
#include "platform/serial/serial_comm_control.h"
#include "platform/settings/settings_store.h"
#include "platform/ui/session_end.h"
#include "trainer_panel/frm_FaultsAndMods.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include <csignal>
#include <thread>

#include <poll.h>
#include <unistd.h>

namespace {

// Runs the application's event loop until it ends, or for at most `limitMs`.
// True when it ended by itself.
bool runEventLoopToEnd(int limitMs)
{
    bool timedOut = false;
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, qApp, [&timedOut] {
        timedOut = true;
        QCoreApplication::quit();
    });
    watchdog.start(limitMs);
    QCoreApplication::exec();
    return !timedOut;
}

class RecordingWindow final : public QWidget
{
public:
    explicit RecordingWindow(int *closes)
        : m_closes(closes)
    {
        setAttribute(Qt::WA_DeleteOnClose);
    }

protected:
    void closeEvent(QCloseEvent *event) override
    {
        ++*m_closes;
        event->accept();
    }

private:
    int *m_closes;
};

// Whether this process has a handler of its own for `signalNumber` (Linux).
bool catchesSignal(qint64 pid, int signalNumber)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return false;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("SigCgt:")) {
            bool ok = false;
            const quint64 mask = line.mid(7).trimmed().toULongLong(&ok, 16);
            return ok && (mask & (quint64(1) << (signalNumber - 1)));
        }
    }
    return false;
}

} // namespace

class tst_SessionEnd : public QObject
{
    Q_OBJECT

private slots:
    void signalClosesEveryWindowAndEndsTheLoop_data();
    void signalClosesEveryWindowAndEndsTheLoop();
    void mainWindowUnloadsAndReleasesThePort();
    void systemEndOfSessionClosesWindows();
    void programsEndNormally_data();
    void programsEndNormally();
};

void tst_SessionEnd::signalClosesEveryWindowAndEndsTheLoop_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::addColumn<bool>("modalBoxUp");
    QTest::newRow("SIGTERM (shutdown)") << SIGTERM << false;
    QTest::newRow("SIGHUP (terminal closed, logout)") << SIGHUP << false;
    QTest::newRow("SIGINT (Ctrl-C)") << SIGINT << false;
    QTest::newRow("SIGTERM while a message box is up") << SIGTERM << true;
}

void tst_SessionEnd::signalClosesEveryWindowAndEndsTheLoop()
{
    QFETCH(int, signalNumber);
    QFETCH(bool, modalBoxUp);
    platform::CloseWindowsWhenSessionEnds();
    int closes = 0;
    QPointer<RecordingWindow> window = new RecordingWindow(&closes);
    window->show();
    QPointer<QMessageBox> box;
    if (modalBoxUp) {
        QTimer::singleShot(0, window, [&box, window] {
            box = new QMessageBox(QMessageBox::Warning, QStringLiteral("Title"), QStringLiteral("Text"),
                                  QMessageBox::Ok, window);
            box->exec();
        });
    }
    QTimer::singleShot(50, qApp, [signalNumber] { ::raise(signalNumber); });

    QVERIFY2(runEventLoopToEnd(5000), "the event loop went on after the signal");
    QCOMPARE(closes, 1);
    QVERIFY2(window.isNull(), "the window was closed but not released");
    if (modalBoxUp)
        QVERIFY(box.isNull() || !box->isVisible());
}

void tst_SessionEnd::mainWindowUnloadsAndReleasesThePort()
{
    StoreSandbox sandbox;
    PseudoTerminal pty;
    QVERIFY(pty.isValid());
    const int master = pty.master();
    const QString device = pty.slavePath();
    QVERIFY(platform::SettingsStore::write(settings_keys::Application, settings_keys::SectionPorts,
                                           settings_keys::PortKey(4), device));

    // The base: answers the probe, then records everything it is sent.
    QByteArray received;
    std::thread base([master, &received] {
        for (int waited = 0; waited < 4000; waited += 10) {
            pollfd readable {master, POLLIN, 0};
            if (::poll(&readable, 1, 10) <= 0 || !(readable.revents & POLLIN))
                continue;
            char chunk[64];
            const ssize_t count = ::read(master, chunk, sizeof chunk);
            if (count <= 0)
                break; // the port was released
            if (received.isEmpty() && chunk[0] == char(0xC0))
                [[maybe_unused]] const ssize_t answered = ::write(master, "\x01", 1);
            received.append(chunk, qsizetype(count));
        }
    });

    platform::CloseWindowsWhenSessionEnds();
    RecordingMessageBoxes messages;
    QPointer<frm_FaultsAndMods> window =
        new frm_FaultsAndMods(platform::CreateSerialCommControl(ResolveComPort), messages);
    window->show();
    window->menu_Com[3]->trigger(); // COM 4, not stored until the window unloads
    window->btn_Connect->click();
    QVERIFY(window->MSCommObject->portOpen());
    const QString lockFile = SerialLockFile(device);
    QVERIFY2(!lockFile.isEmpty(), "the port was taken without a lock file");

    QTimer::singleShot(50, qApp, [] { ::raise(SIGTERM); });
    QVERIFY2(runEventLoopToEnd(5000), "the event loop went on after the signal");
    base.join();
    pty.closeMaster();

    QVERIFY2(window.isNull(), "the window was not released");
    QCOMPARE(platform::SettingsStore::read(settings_keys::Application, settings_keys::SectionGeneral,
                                           settings_keys::CommPort, QString()),
             QStringLiteral("4"));
    QCOMPARE(received, QByteArray("\xC0\x80", 2)); // nothing sent at the end
    QCOMPARE(messages.shown.size(), 0);
    QVERIFY2(!QFile::exists(lockFile), qPrintable(lockFile + QStringLiteral(" was left behind")));
}

// Windows ends a session by announcing the quit and ending the process, with
// no window closed and no event loop left to run.
void tst_SessionEnd::systemEndOfSessionClosesWindows()
{
    StoreSandbox sandbox;
    platform::CloseWindowsWhenSessionEnds();
    RecordingMessageBoxes messages;
    QPointer<frm_FaultsAndMods> window =
        new frm_FaultsAndMods(platform::CreateSerialCommControl(ResolveComPort), messages);
    window->show();
    window->menu_Com[6]->trigger(); // COM 7

    QVERIFY(QMetaObject::invokeMethod(qApp, "aboutToQuit", Qt::DirectConnection));
    QVERIFY(!window.isNull() && !window->isVisible());
    QCOMPARE(platform::SettingsStore::read(settings_keys::Application, settings_keys::SectionGeneral,
                                           settings_keys::CommPort, QString()),
             QStringLiteral("7"));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(window.isNull());
}

void tst_SessionEnd::programsEndNormally_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("Velmora, SIGTERM") << QStringLiteral(VELMORA_PROGRAM) << SIGTERM;
    QTest::newRow("Velmora, SIGHUP") << QStringLiteral(VELMORA_PROGRAM) << SIGHUP;
    QTest::newRow("VelmoraPassword, SIGTERM") << QStringLiteral(VELMORA_PASSWORD_PROGRAM) << SIGTERM;
    QTest::newRow("VelmoraPassword, SIGINT") << QStringLiteral(VELMORA_PASSWORD_PROGRAM) << SIGINT;
}

void tst_SessionEnd::programsEndNormally()
{
#ifndef Q_OS_LINUX
    QSKIP("Needs /proc to see when the program is ready for the signal");
#endif
    QFETCH(QString, program);
    QFETCH(int, signalNumber);
    StoreSandbox sandbox;
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(program, {});
    QVERIFY2(process.waitForStarted(5000), qPrintable(process.errorString()));
    QTRY_VERIFY_WITH_TIMEOUT(catchesSignal(process.processId(), signalNumber), 10000);
    ::kill(pid_t(process.processId()), signalNumber);
    QVERIFY2(process.waitForFinished(5000), "the program went on after the signal");
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
    // Neither window stores anything when it is closed.
    QVERIFY(!QFile::exists(sandbox.iniFile(settings_keys::Application)));
}

QTEST_MAIN(tst_SessionEnd)
#include "tst_session_end.moc"
