// The real windows on the real serial layer, against tarvex-sim running as a
// process of its own on a pseudo-terminal.
#include "tests/support/modem_line_preload.h"
#include "tests/support/panel_checks.h"
#include "tests/support/pseudo_terminal.h"
#include "tests/support/recording_message_boxes.h"
#include "tests/support/store_sandbox.h"
#include "tests/support/tarvex_sim_process.h"

#include "access_gate/frm_PasswordDialog.h"
#include "app_settings/port_mapping.h"
#include "app_settings/settings_keys.h"
#include "password_utility/frm_Login.h"
#include "platform/serial/serial_comm_control.h"
#include "platform/settings/settings_store.h"
#include "simulator/line_state_file.h"
#include "trainer_panel/colour_button.h"
#include "trainer_panel/frm_FaultsAndMods.h"

#include <QAction>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QtTest>

#include <poll.h>

using platform::MessageIcon;
using namespace panel_checks;

namespace {

const QRegularExpression AnyRx(QStringLiteral("^rx "));

// The line of one received byte: "rx 0x5F ...".
QRegularExpression rxOf(quint8 byte)
{
    const QString hex = QString::number(byte, 16).toUpper().rightJustified(2, QLatin1Char('0'));
    return QRegularExpression(QStringLiteral("^rx 0x") + hex + QLatin1Char(' '));
}

// What the simulator adds to a control's line while nobody reads its lines.
const QString LinesUnread = QStringLiteral("(the other end does not read the lines");

#ifdef Q_OS_LINUX
const QRegularExpression PortFreed(QStringLiteral("^port closed, 0 open$"));
const QRegularExpression RxOrPortFreed(QStringLiteral("^(rx |port closed, 0 open$)"));
#endif

} // namespace

// One sandboxed store, the simulator in it, and the main window on the real
// serial layer.
class EndToEnd
{
public:
    EndToEnd() = default;
    ~EndToEnd() { delete window.data(); }

    bool startBase(const QStringList &arguments = {})
    {
        base = std::make_unique<TarvexSimProcess>(QStringLiteral(TARVEX_SIM));
        return base->start(arguments);
    }
    void openWindow()
    {
        window = new frm_FaultsAndMods(platform::CreateSerialCommControl(ResolveComPort), messages);
        window->show();
    }
    // Clicks Connect and checks the handshake as the base saw it; says why not.
    [[nodiscard]] bool connectToBase()
    {
        const QStringList before = messages.titles();
        window->btn_Connect->click();
        if (messages.titles() != before) {
            QTest::qWait(300); // for what the base did late
            qWarning("Connect showed: %s; the base printed:\n%s",
                     qPrintable(messages.titles().mid(before.size()).join(QLatin1Char(','))),
                     qPrintable(base->lines().join(QLatin1Char('\n'))));
            return false;
        }
        if (base->waitForLine(rxOf(0xC0)).isNull()) {
            qWarning("the base saw no probe");
            return false;
        }
        // The very next byte after the probe is the reset.
        const QString reset = base->waitForLine(AnyRx);
        if (!rxOf(0x80).match(reset).hasMatch()
            || TarvexSimProcess::boardState(reset) != QLatin1String("faults=none mods=none")) {
            qWarning("after the probe the base saw: %s", qPrintable(reset));
            return false;
        }
        return true;
    }

    // The code of every OnComm the window gets from now on.
    void recordEvents()
    {
        QObject::connect(window->MSCommObject, &platform::CommControl::OnComm, window, [this] {
            events.append(window->MSCommObject->commEvent());
        });
    }

    StoreSandbox sandbox; // first: the base maps its port there and the window reads it
    std::unique_ptr<TarvexSimProcess> base;
    RecordingMessageBoxes messages;
    QPointer<frm_FaultsAndMods> window;
    QList<qint16> events;
};

class tst_EndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void connect_data();
    void connect();
    void itemClicksReachTheBoard_data();
    void itemClicksReachTheBoard();
    void resetAllClearsTheBoard();
    void disconnectSendsNothing();
    void baseGoingAwayIsALostConnection_data();
    void baseGoingAwayIsALostConnection();
    void passwordFromTheUtilityOpensThePanel();

    void lineEventsAtTheBase_data();
    void lineEventsAtTheBase();
    void everyConnectGetsItsSettlingTime();
    void killedBasesPortLeadsNowhere();
    void machineWideMappingReachesTheBase();
};

void tst_EndToEnd::connect_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("com");
    QTest::addColumn<bool>("found");

    QTest::newRow("answered at once on COM 1") << QStringList() << 1 << true;
    QTest::newRow("answered 30 ms late on COM 7")
        << QStringList{"--com", "7", "--answer-delay", "30"} << 7 << true;
    QTest::newRow("silent base") << QStringList{"--silent"} << 1 << false;
    QTest::newRow("answer 300 ms late counts as none") << QStringList{"--answer-delay", "300"} << 1 << false;
    QTest::newRow("base switched off") << QStringList{"--off"} << 1 << false;
}

void tst_EndToEnd::connect()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, com);
    QFETCH(bool, found);
    EndToEnd e2e;
    QVERIFY(e2e.startBase(arguments));
    e2e.openWindow();
    if (com != 1)
        e2e.window->menu_Com[std::size_t(com - 1)]->trigger();

    if (found) {
        QVERIFY(e2e.connectToBase());
        VerifyConnected(e2e.window, com);
        return;
    }
    e2e.window->btn_Connect->click();
    QCOMPARE(e2e.messages.shown.size(), 1);
    QCOMPARE(e2e.messages.shown[0].title, QStringLiteral("Tarvex base not found"));
    QCOMPARE(e2e.messages.shown[0].text, NotFoundText);
    QCOMPARE(e2e.messages.shown[0].icon, MessageIcon::Exclamation);
    VerifyDisconnected(e2e.window);
    QVERIFY(!e2e.base->waitForLine(rxOf(0xC0)).isNull());
    // Not found, so no reset follows the probe: whatever the board holds stays.
    QVERIFY(e2e.base->waitForLine(AnyRx, 500).isNull());
}

void tst_EndToEnd::itemClicksReachTheBoard_data()
{
    QTest::addColumn<QStringList>("clicks");
    QTest::addColumn<QByteArray>("bytes"); // what the base receives, in order
    QTest::addColumn<QString>("board");    // its state after the last one

    QTest::newRow("fault 3 inserted") << QStringList{"fault 3"} << QByteArray("\x56") << "faults=3 mods=none";
    QTest::newRow("fault 1 inserted and removed")
        << QStringList{"fault 1", "fault 1"} << QByteArray("\x54\x74") << "faults=none mods=none";
    QTest::newRow("last of each kind") << QStringList{"mod 20", "fault 12"} << QByteArray("\x53\x5F")
                                       << "faults=12 mods=20";
    QTest::newRow("mod 1 and fault 1 are different items")
        << QStringList{"mod 1", "fault 1", "mod 1"} << QByteArray("\x40\x54\x60") << "faults=1 mods=none";
}

void tst_EndToEnd::itemClicksReachTheBoard()
{
    QFETCH(QStringList, clicks);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, board);
    EndToEnd e2e;
    QVERIFY(e2e.startBase());
    e2e.openWindow();
    QVERIFY(e2e.connectToBase());

    QString last;
    for (int i = 0; i < clicks.size(); ++i) {
        ItemButton(e2e.window, clicks[i])->click();
        // Each click is one byte, the next one the base receives.
        last = e2e.base->waitForLine(AnyRx);
        QVERIFY2(rxOf(quint8(bytes[i])).match(last).hasMatch(), qPrintable(clicks[i] + QStringLiteral(": ") + last));
    }
    QCOMPARE(TarvexSimProcess::boardState(last), board);
    QVERIFY(e2e.base->waitForLine(AnyRx, 200).isNull());
    QVERIFY(e2e.messages.shown.isEmpty());
}

void tst_EndToEnd::resetAllClearsTheBoard()
{
    EndToEnd e2e;
    QVERIFY(e2e.startBase());
    e2e.openWindow();
    QVERIFY(e2e.connectToBase());
    QString last;
    for (const char *item : {"fault 2", "mod 5", "mod 17"}) {
        ItemButton(e2e.window, QLatin1String(item))->click();
        last = e2e.base->waitForLine(AnyRx);
    }
    QCOMPARE(TarvexSimProcess::boardState(last), QStringLiteral("faults=2 mods=5,17"));

    e2e.window->btn_Reset->click();
    const QString reset = e2e.base->waitForLine(AnyRx);
    QVERIFY2(rxOf(0x80).match(reset).hasMatch(), qPrintable(reset));
    QCOMPARE(TarvexSimProcess::boardState(reset), QStringLiteral("faults=none mods=none"));
    QVERIFY(e2e.base->waitForLine(AnyRx, 200).isNull());
    for (ColourButton *button : e2e.window->btn_Mod)
        QCOMPARE(button->backColor(), FaceColour);
    for (ColourButton *button : e2e.window->btn_Fault)
        QCOMPARE(button->backColor(), FaceColour);
    VerifyConnected(e2e.window, 1);
}

void tst_EndToEnd::disconnectSendsNothing()
{
    EndToEnd e2e;
    QVERIFY(e2e.startBase());
    e2e.openWindow();
    QVERIFY(e2e.connectToBase());
    ItemButton(e2e.window, QStringLiteral("fault 4"))->click();
    QCOMPARE(TarvexSimProcess::boardState(e2e.base->waitForLine(AnyRx)), QStringLiteral("faults=4 mods=none"));

    e2e.window->btn_Disconnect->click();
    VerifyDisconnected(e2e.window);
#ifdef Q_OS_LINUX
    // A byte written before the close would come before this line.
    const QString next = e2e.base->waitForLine(RxOrPortFreed);
    QVERIFY2(PortFreed.match(next).hasMatch(), qPrintable(next));
#endif
    QVERIFY(e2e.base->waitForLine(AnyRx, 300).isNull());
    QVERIFY(e2e.messages.shown.isEmpty());

    // The fault stayed on the board until the next connect resets it.
    e2e.window->btn_Connect->click();
    const QString probe = e2e.base->waitForLine(rxOf(0xC0));
    QCOMPARE(TarvexSimProcess::boardState(probe), QStringLiteral("faults=4 mods=none"));
    const QString reset = e2e.base->waitForLine(AnyRx);
    QVERIFY2(rxOf(0x80).match(reset).hasMatch(), qPrintable(reset));
    QCOMPARE(TarvexSimProcess::boardState(reset), QStringLiteral("faults=none mods=none"));
    VerifyConnected(e2e.window, 1);
}

void tst_EndToEnd::baseGoingAwayIsALostConnection_data()
{
    QTest::addColumn<bool>("waitUntilArmed");
    // A vanished device is no line event to settle: it counts from the start.
    QTest::newRow("while supervised") << true;
    QTest::newRow("right after connecting") << false;
}

void tst_EndToEnd::baseGoingAwayIsALostConnection()
{
    QFETCH(bool, waitUntilArmed);
    EndToEnd e2e;
    QVERIFY(e2e.startBase());
    e2e.openWindow();
    QVERIFY(e2e.connectToBase());
    if (waitUntilArmed)
        QTRY_VERIFY(e2e.window->connectionArmed());

    QVERIFY(e2e.base->stop(SIGTERM));
    QCOMPARE(e2e.base->process().exitCode(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(e2e.messages.titles(), QStringList{"Connection lost"}, 2000);
    QCOMPARE(e2e.messages.shown[0].text, LostText);
    QCOMPARE(e2e.messages.shown[0].icon, MessageIcon::Exclamation);
    VerifyDisconnected(e2e.window);
    // One message for one loss, however many errors the dead device gives.
    QTest::qWait(200);
    QCOMPARE(e2e.messages.shown.size(), 1);

    // Switched on again: a new terminal mapped as the same COM port.
    QVERIFY(e2e.startBase());
    QVERIFY(e2e.connectToBase());
    VerifyConnected(e2e.window, 1);
}

void tst_EndToEnd::passwordFromTheUtilityOpensThePanel()
{
    // One settings file for both programs and the base's port mapping.
    EndToEnd e2e;
    QVERIFY(e2e.startBase());
    const QString password = QStringLiteral("Köln 42!");

    QPointer<frm_Login> login = new frm_Login(e2e.messages);
    login->show();
    login->txt_Password->setText(password);
    login->txt_PasswordConfirmation->setText(password);
    QTest::keyClick(login->txt_PasswordConfirmation, Qt::Key_Return);
    QCOMPARE(e2e.messages.titles(), QStringList{"Password Accepted"});
    QTRY_VERIFY(login.isNull());

    QFile file(e2e.sandbox.iniFile(settings_keys::Application));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray stored = file.readAll();
    QVERIFY2(stored.contains("Password="), stored.constData());
    QVERIFY2(stored.contains("COM1=/"), stored.constData());
    QVERIFY(!stored.contains("42!"));

    QPointer<frm_PasswordDialog> dialog = new frm_PasswordDialog(e2e.messages, [&e2e]() -> QWidget * {
        e2e.window = new frm_FaultsAndMods(platform::CreateSerialCommControl(ResolveComPort), e2e.messages);
        return e2e.window;
    });
    dialog->show();
    dialog->txt_Password->setText(password);
    QTest::keyClick(dialog->txt_Password, Qt::Key_Return);
    QCOMPARE(e2e.messages.titles(), QStringList{"Password Accepted"});
    QVERIFY(e2e.window);
    QVERIFY(e2e.window->isVisible());
    QTRY_VERIFY(dialog.isNull());

    QVERIFY(e2e.connectToBase());
    VerifyConnected(e2e.window, 1);
    // The panel stored its port beside the password and the mapping.
    e2e.window->close();
    QCOMPARE(platform::SettingsStore::read(settings_keys::Application, settings_keys::SectionGeneral,
                                           settings_keys::CommPort, QStringLiteral("none")),
             QStringLiteral("1"));
    QVERIFY(platform::SettingsStore::read(settings_keys::Application, settings_keys::SectionGeneral,
                                          settings_keys::Password, QStringLiteral("-1"))
            != QStringLiteral("-1"));
}

namespace {

const QString Settled = QStringLiteral("after settling");
const QString Settling = QStringLiteral("within settling");

// The events the POSIX layer reports for a control at the base.
QList<qint16> eventsOf(const QString &control)
{
    namespace comm_event = platform::comm_event;
    if (control == QLatin1String("cts"))
        return {comm_event::CTS};
    if (control == QLatin1String("dsr"))
        return {comm_event::DSR};
    if (control == QLatin1String("cd"))
        return {comm_event::CD};
    if (control == QLatin1String("break"))
        return {comm_event::Break};
    if (control == QLatin1String("noise"))
        return {comm_event::Frame, comm_event::RxParity};
    return {comm_event::CTS, comm_event::DSR, comm_event::CD};
}

} // namespace

void tst_EndToEnd::lineEventsAtTheBase_data()
{
    QTest::addColumn<QString>("control"); // typed at the simulator
    QTest::addColumn<QString>("when");
    QTest::addColumn<bool>("lost");       // one "Connection lost", else nothing at all

    for (const char *line : {"cts", "dsr", "cd", "break"}) {
        QTest::addRow("%s %s", line, qPrintable(Settled)) << QString::fromLatin1(line) << Settled << true;
        QTest::addRow("%s %s", line, qPrintable(Settling)) << QString::fromLatin1(line) << Settling << false;
    }
    // Three lines drop at once: one message.
    QTest::newRow("power off after settling") << "power off" << Settled << true;
    QTest::newRow("power off within settling") << "power off" << Settling << false;
    // The lines drop, then the device goes: one message either way.
    QTest::newRow("cable after settling") << "cable" << Settled << true;
    QTest::newRow("cable within settling") << "cable" << Settling << true;
    // Line errors and the bytes they garbled are no loss.
    QTest::newRow("noise after settling") << "noise" << Settled << false;
    QTest::newRow("noise within settling") << "noise" << Settling << false;
}

void tst_EndToEnd::lineEventsAtTheBase()
{
    if (!modem_line_preload::FixtureLoaded())
        QSKIP(modem_line_preload::Missing());
    QFETCH(QString, control);
    QFETCH(QString, when);
    QFETCH(bool, lost);
    EndToEnd e2e;
    QVERIFY(e2e.startBase());
    e2e.openWindow();
    e2e.recordEvents();
    bool closedBeforeTheBox = false;
    e2e.messages.onShow = [&e2e, &closedBeforeTheBox](const RecordingMessageBoxes::Message &) {
        closedBeforeTheBox = !e2e.window->MSCommObject->portOpen()
            && e2e.window->lbl_Connection->text() == QLatin1String("Disconnected")
            && e2e.window->btn_Connect->isEnabled();
    };

    QVERIFY(e2e.connectToBase());
    if (when == Settled)
        QTRY_VERIFY(e2e.window->connectionArmed());
    const QString told = e2e.base->control(control);
    QVERIFY2(!told.isNull(), "the base did not take the control");
    // The window's serial layer reads the lines through the fixture.
    QVERIFY2(!told.contains(LinesUnread), qPrintable(told));
    const QList<qint16> expected = eventsOf(control);
    QTRY_VERIFY2_WITH_TIMEOUT(e2e.events.contains(expected.first()), qPrintable(told), 2000);
    if (when == Settling)
        QVERIFY2(!e2e.window->connectionArmed(), "the event came after the settling time; the machine is too slow");

    if (lost) {
        QTRY_COMPARE_WITH_TIMEOUT(e2e.messages.titles(), QStringList{"Connection lost"}, 2000);
        QCOMPARE(e2e.messages.shown[0].text, LostText);
        QCOMPARE(e2e.messages.shown[0].icon, MessageIcon::Exclamation);
        QVERIFY2(closedBeforeTheBox, "the box was shown before the port was closed");
        VerifyDisconnected(e2e.window);
    }
    // Whatever else the lines or the vanishing device report changes nothing more.
    QTest::qWait(250);
    QTRY_VERIFY(lost || e2e.window->connectionArmed());
    QCOMPARE(e2e.messages.shown.size(), lost ? 1 : 0);
    if (!lost) {
        for (const qint16 code : expected)
            QVERIFY2(e2e.events.contains(code), qPrintable(QString::number(code)));
        VerifyConnected(e2e.window, 1);
        // Still working: a click reaches the board.
        ItemButton(e2e.window, QStringLiteral("fault 2"))->click();
        QVERIFY(rxOf(0x55).match(e2e.base->waitForLine(AnyRx)).hasMatch());
    }
}

void tst_EndToEnd::everyConnectGetsItsSettlingTime()
{
    if (!modem_line_preload::FixtureLoaded())
        QSKIP(modem_line_preload::Missing());
    EndToEnd e2e;
    QVERIFY(e2e.startBase());
    e2e.openWindow();
    e2e.recordEvents();
    QVERIFY(e2e.connectToBase());
    // Disconnected before the first settling time is over; that connect's tick
    // comes while disconnected, and must not arm the next connection early.
    e2e.window->btn_Disconnect->click();
    QTest::qWait(2 * tarvex_protocol::SettlingMs);
    QVERIFY(e2e.connectToBase());
    QVERIFY(!e2e.base->control(QStringLiteral("cts")).isNull());
    QTRY_VERIFY_WITH_TIMEOUT(e2e.events.contains(platform::comm_event::CTS), 2000);
    QVERIFY2(!e2e.window->connectionArmed(), "the event came after the settling time; the machine is too slow");
    QTRY_VERIFY(e2e.window->connectionArmed());
    QVERIFY(e2e.messages.shown.isEmpty());
    VerifyConnected(e2e.window, 1);

    // Once settled, the next change counts.
    QVERIFY(!e2e.base->control(QStringLiteral("dsr")).isNull());
    QTRY_COMPARE_WITH_TIMEOUT(e2e.messages.titles(), QStringList{"Connection lost"}, 2000);
    VerifyDisconnected(e2e.window);
}

void tst_EndToEnd::killedBasesPortLeadsNowhere()
{
    EndToEnd e2e;
    QVERIFY(e2e.startBase());
    const QString mapped = platform::SettingsStore::read(settings_keys::Application, settings_keys::SectionPorts,
                                                         settings_keys::PortKey(1), QString());
    const QString terminal = QFileInfo(mapped).canonicalFilePath();
    QVERIFY2(terminal.startsWith(QLatin1String("/dev/pts/")), qPrintable(terminal));
    // Killed, it cannot tidy up: the mapping stays in the store.
    e2e.base->process().kill();
    QVERIFY(e2e.base->process().waitForFinished(5000));
    QCOMPARE(platform::SettingsStore::read(settings_keys::Application, settings_keys::SectionPorts,
                                           settings_keys::PortKey(1), QString()),
             mapped);

    // A stranger's terminal takes the dead one's number (the lowest free one is given).
    PseudoTerminal stranger;
    QVERIFY(stranger.isValid());
    const QString strangerPath = stranger.slavePath();
    e2e.openWindow();
    e2e.window->btn_Connect->click();
    QCOMPARE(e2e.messages.shown.size(), 1);
    QCOMPARE(e2e.messages.shown[0].text, QStringLiteral("The selected COM port is invalid."));
    VerifyDisconnected(e2e.window);
    pollfd sent {stranger.master(), POLLIN, 0};
    QVERIFY2(::poll(&sent, 1, 200) == 0, qPrintable(strangerPath + QStringLiteral(" got the probe")));
    stranger.closeMaster();

    // The next simulator does not take the dead one's mapping for the user's own.
    QVERIFY(e2e.startBase());
    QVERIFY(e2e.base->stop(SIGTERM));
    QCOMPARE(platform::SettingsStore::read(settings_keys::Application, settings_keys::SectionPorts,
                                           settings_keys::PortKey(1), QStringLiteral("absent")),
             QStringLiteral("absent"));
}

// Lab IT maps COM 3 for every user of the PC; a user whose own store maps
// nothing connects on COM 3 all the same.
void tst_EndToEnd::machineWideMappingReachesTheBase()
{
    EndToEnd e2e;
    QVERIFY(e2e.startBase({"--com", "12"}));
    // The base's own entry goes from the user's store: it holds nothing now.
    QVERIFY(platform::SettingsStore::remove(settings_keys::Application, settings_keys::SectionPorts,
                                            settings_keys::PortKey(12)));
    QFile machine(e2e.sandbox.machineDir() + QStringLiteral("/TarvexCircuitTool.ini"));
    QVERIFY(machine.open(QIODevice::WriteOnly));
    machine.write("[Ports]\nCOM3=" + e2e.base->terminalPath().toUtf8() + "\n");
    machine.close();
    QCOMPARE(platform::SettingsStore::find(settings_keys::Application, settings_keys::SectionPorts,
                                           settings_keys::PortKey(3)),
             std::nullopt);

    // Never the system's own port, whatever goes wrong with the machine's value.
    QCOMPARE(ResolveComPort(3).device, e2e.base->terminalPath());

    e2e.openWindow();
    e2e.window->menu_Com[2]->trigger();
    QVERIFY(e2e.connectToBase());
    VerifyConnected(e2e.window, 3);
}

int main(int argc, char *argv[])
{
    modem_line_preload::RestartWithFixture(argv);
    QApplication app(argc, argv);
    tst_EndToEnd test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_end_to_end.moc"
