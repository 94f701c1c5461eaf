#include "tests/support/panel_checks.h"
#include "tests/support/panel_fixture.h"

#include "app_settings/settings_keys.h"
#include "platform/serial/serial_comm_control.h"
#include "platform/settings/settings_store.h"
#include "platform/ui/form_support.h"
#include "trainer_panel/colour_button.h"
#include "trainer_panel/frm_FaultsAndMods.h"

#include <QAccessible>
#include <QAction>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QToolTip>
#include <QTextDocument>
#include <QtTest>

#include <map>
#include <optional>

Q_DECLARE_METATYPE(platform::PortTarget)

using platform::CommError;
using platform::MessageIcon;
using platform::PortTarget;
namespace comm_event = platform::comm_event;
using namespace panel_checks;

namespace {

QString storedPort()
{
    return platform::SettingsStore::read(settings_keys::Application, QStringLiteral("General"),
                                         QStringLiteral("CommPort"), QStringLiteral("<none>"));
}

PortTarget deviceTarget(int number, const QString &path)
{
    PortTarget target;
    target.kind = PortTarget::Kind::Device;
    target.number = number;
    target.device = path;
    return target;
}

PortTarget benchTarget(int number, const QString &host, quint16 tcpPort, bool tls)
{
    PortTarget target;
    target.kind = PortTarget::Kind::Network;
    target.number = number;
    target.host = host;
    target.tcpPort = tcpPort;
    target.tls = tls;
    return target;
}

PortTarget systemTarget(int number)
{
    PortTarget target;
    target.kind = PortTarget::Kind::SystemPort;
    target.number = number;
    return target;
}

// Opened as a click on "Communication Port" opens it; the caller closes it.
void openPortMenu(frm_FaultsAndMods *window)
{
    window->menu_Port->popup(QPoint(20, 20));
    QVERIFY(window->menu_Port->isVisible());
}

// The tool tip that the open menu shows with the pointer resting on `item`.
// A tool tip as the eye reads it: markup, if any, rendered to its text.
QString seenText(const QString &toolTip)
{
    if (!Qt::mightBeRichText(toolTip))
        return toolTip;
    QTextDocument document;
    document.setHtml(toolTip);
    return document.toPlainText();
}

QString shownToolTip(QMenu *menu, QAction *item)
{
    const QPoint at = menu->actionGeometry(item).center();
    QHelpEvent help(QEvent::ToolTip, at, menu->mapToGlobal(at));
    QCoreApplication::sendEvent(menu, &help);
    const QString shown = QToolTip::isVisible() ? seenText(QToolTip::text()) : QString();
    QToolTip::hideText();
    return shown;
}

// What assistive tools read as the item's description, found as they find it:
// through the menu.
QString accessibleDescription(QMenu *menu, QAction *item)
{
    QAccessibleInterface *menuInterface = QAccessible::queryAccessibleInterface(menu);
    QAccessibleInterface *itemInterface = menuInterface->child(int(menu->actions().indexOf(item)));
    if (!itemInterface || itemInterface->object() != item)
        return QStringLiteral("<no interface for %1>").arg(item->objectName());
    return itemInterface->text(QAccessible::Description);
}

struct PortItemLook
{
    QString caption;
    QString name;
    bool checkable = false;
    bool checked = false;
    bool enabled = false;
    bool operator==(const PortItemLook &other) const
    {
        return caption == other.caption && name == other.name && checkable == other.checkable
            && checked == other.checked && enabled == other.enabled;
    }
};

// The port menu's items in their order: what a description must never change.
QList<PortItemLook> portItemLooks(frm_FaultsAndMods *window)
{
    QList<PortItemLook> looks;
    for (QAction *item : window->menu_Port->actions())
        looks << PortItemLook{item->text(), item->objectName(), item->isCheckable(), item->isChecked(),
                              item->isEnabled()};
    return looks;
}

} // namespace

class tst_FaultsAndMods : public QObject
{
    Q_OBJECT

private slots:
    void handshake_data();
    void handshake();
    void connectTalksToTheControlInOrder();
    void errorStepClosesAnOpenedPort();
    void itemCommands_data();
    void itemCommands();
    void resetAllSendsOneByteAndClearsPanel();
    void clicksWhilePortClosedDoNothing();
    void thirdColourIsLeftAlone();
    void disconnectSendsNothingAndDisablesPanel();
    void supervision_data();
    void supervision();
    void lostMessageComesAfterThePortIsClosed();
    void failedWriteIsALostConnection_data();
    void failedWriteIsALostConnection();
    void everyConnectGetsItsSettlingTime();
    void load_data();
    void load();
    void portChoiceIsRememberedAtUnload();
    void portChoiceCannotChangeWhileConnected();
    void exitClosesWithoutSendingAndReleasesThePort();
    void layout_data();
    void layout();
    void windowIsFixedInSize();
    void buttonsOnTheWindowStandInFrontOfTheFrame();
    void tabOrder();
    void menus();
    void statusLabelLooks();
    void controlsWithoutAFontOfTheirOwnUseTheDialogFont();
    void itemButtonsAreNamedForAssistiveTools();
    void portItemsSayWhatTheyLeadTo_data();
    void portItemsSayWhatTheyLeadTo();
    void portItemsAreReadAfreshAtEachOpening();
    void portItemsAskTheSerialControlsResolver();
};

void tst_FaultsAndMods::handshake_data()
{
    QTest::addColumn<int>("answer");
    QTest::addColumn<int>("stale");
    QTest::addColumn<int>("openErrorNumber");
    QTest::addColumn<QByteArray>("expectedBytes");
    QTest::addColumn<bool>("connected");
    QTest::addColumn<QStringList>("expectedTitles");

    const QByteArray handshake("\xC0\x80", 2);
    QTest::newRow("one byte answers") << 1 << 0 << 0 << handshake << true << QStringList();
    QTest::newRow("several bytes answer") << 5 << 0 << 0 << handshake << true << QStringList();
    QTest::newRow("no answer") << 0 << 0 << 0 << QByteArray("\xC0", 1) << false
                               << QStringList{"Tarvex base not found"};
    QTest::newRow("bytes waiting before the probe are no answer")
        << 0 << 3 << 0 << QByteArray("\xC0", 1) << false << QStringList{"Tarvex base not found"};
    QTest::newRow("invalid port number") << 1 << 0 << 8002 << QByteArray() << false
                                         << QStringList{"Invalid port number"};
    QTest::newRow("port in use says nothing") << 1 << 0 << 8005 << QByteArray() << false << QStringList();
}

void tst_FaultsAndMods::handshake()
{
    QFETCH(int, answer);
    QFETCH(int, stale);
    QFETCH(int, openErrorNumber);
    QFETCH(QByteArray, expectedBytes);
    QFETCH(bool, connected);
    QFETCH(QStringList, expectedTitles);

    PanelFixture f;
    f.comm->answerBytes = answer;
    f.comm->staleBytes = stale;
    if (openErrorNumber)
        f.comm->openError = CommError{openErrorNumber, openErrorNumber == 8002
                                                           ? QStringLiteral("Invalid port number")
                                                           : QStringLiteral("Port already open")};
    bool busyUnderTheBox = false;
    f.messages.onShow = [&busyUnderTheBox](const RecordingMessageBoxes::Message &) {
        busyUnderTheBox = QGuiApplication::overrideCursor() != nullptr;
    };
    f.window->btn_Connect->click();

    // The wait cursor while the port opens (a bench on the network takes a
    // while), and never under a message or after the click.
    QCOMPARE(f.log->busyWhileOpening, QList<bool>{true});
    QVERIFY(!busyUnderTheBox);
    QVERIFY(!QGuiApplication::overrideCursor());
    QCOMPARE(f.log->written, expectedBytes);
    QCOMPARE(f.messages.titles(), expectedTitles);
    if (!f.messages.shown.isEmpty()) {
        QCOMPARE(f.messages.shown[0].icon, MessageIcon::Exclamation);
        QCOMPARE(f.messages.shown[0].text,
                 openErrorNumber == 8002 ? QStringLiteral("The selected COM port is invalid.") : NotFoundText);
    }
    QCOMPARE(f.comm->portOpen(), connected);
    QCOMPARE(f.window->TimerConnection->isActive(), connected);
    QCOMPARE(f.window->lbl_Connection->text(),
             connected ? QStringLiteral("Connected on COM 1") : QStringLiteral("Disconnected"));

    // The control states follow from connected alone.
    VerifyControlsFollow(f.window, connected);
    for (ColourButton *button : f.window->btn_Mod)
        QCOMPARE(button->backColor(), FaceColour);
}

void tst_FaultsAndMods::connectTalksToTheControlInOrder()
{
    PanelFixture onPort3(QStringLiteral("3"));
    onPort3.window->btn_Connect->click();
    QCOMPARE(onPort3.log->calls,
             (QStringList{"CommPort=3", "Settings=2400,E,8,2", "InputMode=0", "InputLen=0",
                          "PortOpen=True", "Input", "Output=c0", "InBufferCount", "Output=80"}));
    QCOMPARE(onPort3.window->lbl_Connection->text(), QStringLiteral("Connected on COM 3"));
}

void tst_FaultsAndMods::errorStepClosesAnOpenedPort()
{
    // The port opens, then the probe cannot be written: the window must not keep
    // a port it shows as disconnected, or every later connect fails.
    PanelFixture f;
    f.comm->writeError = CommError{8021, QStringLiteral("Write failed")};
    f.window->btn_Connect->click();
    QVERIFY(!f.comm->portOpen());
    QVERIFY(f.messages.shown.isEmpty());
    QVERIFY(f.window->btn_Connect->isEnabled());
    QCOMPARE(f.window->lbl_Connection->text(), QStringLiteral("Disconnected"));

    f.comm->writeError.reset();
    f.window->btn_Connect->click();
    QVERIFY(f.comm->portOpen());
    QCOMPARE(f.log->written, QByteArray("\xC0\x80", 2));
}

void tst_FaultsAndMods::itemCommands_data()
{
    QTest::addColumn<bool>("fault");
    QTest::addColumn<int>("index");
    QTest::addColumn<int>("insertCode");
    QTest::addColumn<int>("removeCode");
    // The trainer's command table, item by item.
    const int faultInsert[12] = {0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5A, 0x5B, 0x5C, 0x5D, 0x5E, 0x5F};
    const int faultRemove[12] = {0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7A, 0x7B, 0x7C, 0x7D, 0x7E, 0x7F};
    for (int i = 0; i < 12; ++i)
        QTest::addRow("fault %d", i + 1) << true << i << faultInsert[i] << faultRemove[i];
    const int modInsert[20] = {0x40, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49,
                               0x4A, 0x4B, 0x4C, 0x4D, 0x4E, 0x4F, 0x50, 0x51, 0x52, 0x53};
    const int modRemove[20] = {0x60, 0x61, 0x62, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69,
                               0x6A, 0x6B, 0x6C, 0x6D, 0x6E, 0x6F, 0x70, 0x71, 0x72, 0x73};
    for (int i = 0; i < 20; ++i)
        QTest::addRow("modification %d", i + 1) << false << i << modInsert[i] << modRemove[i];
}

void tst_FaultsAndMods::itemCommands()
{
    QFETCH(bool, fault);
    QFETCH(int, index);
    QFETCH(int, insertCode);
    QFETCH(int, removeCode);

    PanelFixture f;
    f.connectToBase();
    ColourButton *button = fault ? f.window->btn_Fault[index] : f.window->btn_Mod[index];
    QCOMPARE(button->text(), QString::number(index + 1));

    button->click();
    QCOMPARE(f.log->written, QByteArray(1, static_cast<char>(insertCode)));
    QCOMPARE(button->backColor(), LightRed);

    button->click();
    QCOMPARE(f.log->written, QByteArray(1, static_cast<char>(insertCode)) + char(removeCode));
    QCOMPARE(button->backColor(), FaceColour);
}

void tst_FaultsAndMods::resetAllSendsOneByteAndClearsPanel()
{
    PanelFixture f;
    f.connectToBase();
    f.window->btn_Fault[2]->click();
    f.window->btn_Mod[0]->click();
    f.window->btn_Mod[19]->click();
    f.log->written.clear();

    f.window->btn_Reset->click();
    QCOMPARE(f.log->written, QByteArray("\x80", 1));
    for (ColourButton *button : f.window->btn_Mod) {
        QCOMPARE(button->backColor(), FaceColour);
        QVERIFY(button->isEnabled());
    }
    for (ColourButton *button : f.window->btn_Fault) {
        QCOMPARE(button->backColor(), FaceColour);
        QVERIFY(button->isEnabled());
    }
}

void tst_FaultsAndMods::clicksWhilePortClosedDoNothing()
{
    PanelFixture f;
    f.connectToBase();
    f.window->btn_Fault[0]->click();
    f.log->written.clear();
    // The port goes away under an enabled panel.
    f.comm->setPortOpen(false);

    f.window->btn_Fault[0]->click();
    f.window->btn_Mod[4]->click();
    f.window->btn_Reset->click();
    QVERIFY(f.log->written.isEmpty());
    QCOMPARE(f.window->btn_Fault[0]->backColor(), LightRed);
    QCOMPARE(f.window->btn_Mod[4]->backColor(), FaceColour);
}

void tst_FaultsAndMods::thirdColourIsLeftAlone()
{
    PanelFixture f;
    f.connectToBase();
    const quint32 third = 0x00123456;
    f.window->btn_Mod[7]->setBackColor(third);
    QCOMPARE(f.window->btn_Mod[7]->backColor(), third);
    f.window->btn_Mod[7]->click();
    QVERIFY(f.log->written.isEmpty());
    QCOMPARE(f.window->btn_Mod[7]->backColor(), third);

    // A system colour that paints like the face colour is still another value.
    f.window->btn_Mod[8]->setBackColor(0x80000005);
    f.window->btn_Mod[8]->click();
    QVERIFY(f.log->written.isEmpty());
}

void tst_FaultsAndMods::disconnectSendsNothingAndDisablesPanel()
{
    PanelFixture f;
    f.connectToBase();
    f.window->btn_Fault[5]->click();
    f.window->btn_Mod[3]->click();
    f.log->written.clear();

    f.window->btn_Disconnect->click();
    QVERIFY(f.log->written.isEmpty());
    QVERIFY(!f.comm->portOpen());
    VerifyDisconnected(f.window);
    for (ColourButton *button : f.window->btn_Fault) {
        QCOMPARE(button->backColor(), FaceColour);
        QVERIFY(!button->isEnabled());
    }
    for (QAction *item : f.window->menu_Com)
        QVERIFY(item->isEnabled());
    QVERIFY(f.messages.shown.isEmpty());
}

void tst_FaultsAndMods::supervision_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<bool>("armed");
    QTest::addColumn<bool>("connected");
    QTest::addColumn<bool>("lost");

    const struct { int code; const char *name; } watched[] = {
        {comm_event::CTS, "CTS"}, {comm_event::DSR, "DSR"}, {comm_event::CD, "CD"},
        {comm_event::Break, "break"}};
    for (const auto &event : watched) {
        QTest::addRow("%s, supervised", event.name) << event.code << true << true << true;
        QTest::addRow("%s, settling", event.name) << event.code << false << true << false;
        QTest::addRow("%s, disconnected but armed", event.name) << event.code << true << false << false;
    }
    QTest::newRow("received data") << int(comm_event::Receive) << true << true << false;
    QTest::newRow("ring") << int(comm_event::Ring) << true << true << false;
    QTest::newRow("framing error") << int(comm_event::Frame) << true << true << false;
    QTest::newRow("overrun") << int(comm_event::Overrun) << true << true << false;
    QTest::newRow("parity error") << int(comm_event::RxParity) << true << true << false;
    QTest::newRow("device lost, supervised") << int(comm_event::DeviceLost) << true << true << true;
    QTest::newRow("device lost, settling") << int(comm_event::DeviceLost) << false << true << true;
    QTest::newRow("device lost, disconnected") << int(comm_event::DeviceLost) << true << false << false;
}

void tst_FaultsAndMods::supervision()
{
    QFETCH(int, code);
    QFETCH(bool, armed);
    QFETCH(bool, connected);
    QFETCH(bool, lost);

    PanelFixture f;
    f.connectToBase();
    if (armed)
        f.waitUntilArmed();
    if (!connected) {
        // Disconnecting leaves ConnectionArmed as the tick set it.
        f.window->btn_Disconnect->click();
        if (armed) {
            f.window->TimerConnection->start();
            f.waitUntilArmed();
        }
    }
    QCOMPARE(f.window->connectionArmed(), armed);

    f.comm->raise(static_cast<qint16>(code));
    QCoreApplication::processEvents();

    QCOMPARE(f.messages.titles(), lost ? QStringList{"Connection lost"} : QStringList());
    QCOMPARE(f.comm->portOpen(), connected && !lost);
    QCOMPARE(f.window->btn_Connect->isEnabled(), !connected || lost);
    QVERIFY(f.log->written.isEmpty());
    if (lost) {
        QCOMPARE(f.messages.shown[0].text, LostText);
        QCOMPARE(f.messages.shown[0].icon, MessageIcon::Exclamation);
        QVERIFY(!f.window->connectionArmed());
    }
}

void tst_FaultsAndMods::lostMessageComesAfterThePortIsClosed()
{
    PanelFixture f;
    f.connectToBase();
    f.waitUntilArmed();
    f.window->btn_Fault[1]->click();
    bool openWhileShown = true;
    QString labelWhileShown;
    f.messages.onShow = [&](const RecordingMessageBoxes::Message &) {
        openWhileShown = f.comm->portOpen();
        labelWhileShown = f.window->lbl_Connection->text();
    };
    f.comm->raise(comm_event::CD);
    QTRY_COMPARE(f.messages.shown.size(), 1);
    QVERIFY(!openWhileShown);
    QCOMPARE(labelWhileShown, QStringLiteral("Disconnected"));
    QCOMPARE(f.window->btn_Fault[1]->backColor(), FaceColour);
}

void tst_FaultsAndMods::failedWriteIsALostConnection_data()
{
    QTest::addColumn<QString>("clicked");
    QTest::newRow("fault button") << "fault";
    QTest::newRow("modification button") << "mod";
    QTest::newRow("Reset All") << "reset";
}

void tst_FaultsAndMods::failedWriteIsALostConnection()
{
    QFETCH(QString, clicked);
    PanelFixture f;
    f.connectToBase();
    f.window->btn_Mod[10]->click();
    f.comm->writeError = CommError{8021, QStringLiteral("Write failed")};

    if (clicked == QLatin1String("fault"))
        f.window->btn_Fault[3]->click();
    else if (clicked == QLatin1String("mod"))
        f.window->btn_Mod[11]->click();
    else
        f.window->btn_Reset->click();

    QCOMPARE(f.messages.titles(), QStringList{"Connection lost"});
    QVERIFY(!f.comm->portOpen());
    QVERIFY(f.window->btn_Connect->isEnabled());
    for (ColourButton *button : f.window->btn_Mod) {
        QCOMPARE(button->backColor(), FaceColour);
        QVERIFY(!button->isEnabled());
    }
    QCOMPARE(f.window->btn_Fault[3]->backColor(), FaceColour);
}

void tst_FaultsAndMods::everyConnectGetsItsSettlingTime()
{
    PanelFixture f;
    f.window->btn_Connect->click();
    f.window->btn_Disconnect->click(); // within the settling time: the tick is still due
    f.waitUntilArmed();

    f.window->btn_Connect->click();
    QVERIFY(!f.window->connectionArmed());
    f.comm->raise(comm_event::CTS); // the line settling as the port opens
    QCoreApplication::processEvents();
    QVERIFY(f.messages.shown.isEmpty());
    QVERIFY(f.comm->portOpen());
    f.waitUntilArmed();
}

void tst_FaultsAndMods::load_data()
{
    QTest::addColumn<QString>("stored");         // "<none>": no key
    QTest::addColumn<int>("checkedItem");        // 0: none
    QTest::addColumn<QString>("storedAfterLoad");
    QTest::addColumn<int>("openedPort");         // by Connect
    QTest::addColumn<QString>("caption");        // once connected

    QTest::newRow("first start") << "<none>" << 1 << "1" << 1 << "Connected on COM 1";
    QTest::newRow("stored -1") << "-1" << 1 << "1" << 1 << "Connected on COM 1";
    QTest::newRow("stored -1.0, the same value") << "-1.0" << 1 << "1" << 1 << "Connected on COM 1";
    QTest::newRow("stored 7") << "7" << 7 << "7" << 7 << "Connected on COM 7";
    QTest::newRow("stored 12") << "12" << 12 << "12" << 12 << "Connected on COM 12";
    QTest::newRow("leading zero") << "07" << 7 << "07" << 7 << "Connected on COM 07";
    QTest::newRow("decimal point") << "7.0" << 7 << "7.0" << 7 << "Connected on COM 7.0";
    QTest::newRow("exponent") << "1e1" << 10 << "1e1" << 10 << "Connected on COM 1e1";
    QTest::newRow("a fraction matches no item, opens the rounded port")
        << "2.5" << 0 << "2.5" << 2 << "Connected on COM 2.5";
    QTest::newRow("zero") << "0" << 0 << "0" << 0 << "Connected on COM 0";
    QTest::newRow("thirteen") << "13" << 0 << "13" << 13 << "Connected on COM 13";
    QTest::newRow("not a number") << "abc" << 1 << "1" << 1 << "Connected on COM 1";
    QTest::newRow("a number with text after it") << "7x" << 1 << "1" << 1 << "Connected on COM 1";
    QTest::newRow("empty") << "" << 1 << "1" << 1 << "Connected on COM 1";
}

void tst_FaultsAndMods::load()
{
    QFETCH(QString, stored);
    QFETCH(int, checkedItem);
    QFETCH(QString, storedAfterLoad);
    QFETCH(int, openedPort);
    QFETCH(QString, caption);

    PanelFixture f(stored == QLatin1String("<none>") ? QString() : stored);
    frm_FaultsAndMods *window = f.window;
    QCOMPARE(storedPort(), storedAfterLoad);
    for (int n = 1; n <= 12; ++n)
        QCOMPARE(window->menu_Com[n - 1]->isChecked(), n == checkedItem);
    QVERIFY(window->btn_Connect->isEnabled());
    QVERIFY(!window->frame_BoardOptions->isEnabled());
    QCOMPARE(window->btn_Fault[0]->backColor(), FaceColour);

    window->btn_Connect->click();
    QCOMPARE(f.comm->port(), static_cast<qint16>(openedPort));
    QCOMPARE(window->lbl_Connection->text(), caption);
}

void tst_FaultsAndMods::portChoiceIsRememberedAtUnload()
{
    PanelFixture f(QStringLiteral("2"));
    f.window->menu_Com[3]->trigger(); // COM 4
    for (int n = 1; n <= 12; ++n)
        QCOMPARE(f.window->menu_Com[n - 1]->isChecked(), n == 4);
    QCOMPARE(f.window->selectedCommPort(), QStringLiteral("4"));
    QCOMPARE(storedPort(), QStringLiteral("2")); // only written when the window closes

    f.window->menu_Com[3]->trigger(); // the checked item again keeps its mark
    QVERIFY(f.window->menu_Com[3]->isChecked());

    f.window->btn_Connect->click();
    QCOMPARE(f.comm->port(), qint16(4));
    QCOMPARE(f.window->lbl_Connection->text(), QStringLiteral("Connected on COM 4"));

    QVERIFY(f.window->close()); // the close box
    QTRY_VERIFY(f.window.isNull());
    QCOMPARE(storedPort(), QStringLiteral("4"));
}

void tst_FaultsAndMods::portChoiceCannotChangeWhileConnected()
{
    PanelFixture f;
    f.connectToBase();
    for (QAction *item : f.window->menu_Com)
        QVERIFY(!item->isEnabled());
    f.window->menu_Com[5]->trigger(); // a disabled action ignores it
    QCOMPARE(f.window->selectedCommPort(), QStringLiteral("1"));
}

void tst_FaultsAndMods::exitClosesWithoutSendingAndReleasesThePort()
{
    PanelFixture f(QStringLiteral("07"));
    f.connectToBase();
    f.window->btn_Fault[0]->click();
    f.log->written.clear();

    f.window->menu_Exit->trigger();
    QTRY_VERIFY(f.window.isNull());
    QVERIFY(f.log->written.isEmpty());
    QVERIFY(f.log->destroyed);
    QVERIFY(!f.log->open);
    QVERIFY(f.messages.shown.isEmpty());
    QCOMPARE(storedPort(), QStringLiteral("07")); // written back as it was read
}

void tst_FaultsAndMods::layout_data()
{
    // Positions in pixels, worked out from the design's twips at 15 to a pixel.
    QTest::addColumn<QString>("control");
    QTest::addColumn<QString>("container");
    QTest::addColumn<QRect>("expected");
    QTest::newRow("connection frame") << "frame_Connection" << "client" << QRect(8, 8, 257, 81);
    QTest::newRow("status label") << "lbl_Connection" << "frame_Connection" << QRect(96, 36, 145, 18);
    QTest::newRow("Connect") << "btn_Connect" << "client" << QRect(24, 32, 65, 21);
    QTest::newRow("Disconnect") << "btn_Disconnect" << "client" << QRect(24, 56, 65, 21);
    QTest::newRow("board options") << "frame_BoardOptions" << "client" << QRect(8, 96, 353, 217);
    QTest::newRow("circuit modifications") << "frame_CircuitMods" << "frame_BoardOptions" << QRect(8, 24, 153, 137);
    QTest::newRow("faults") << "frame_Faults" << "frame_BoardOptions" << QRect(168, 24, 177, 81);
    QTest::newRow("Reset All") << "btn_Reset" << "frame_BoardOptions" << QRect(224, 124, 65, 21);
    QTest::newRow("information") << "lbl_info" << "frame_BoardOptions" << QRect(8, 172, 337, 33);
    QTest::newRow("version") << "Label1" << "client" << QRect(248, 320, 113, 17);
    QTest::newRow("modification 1") << "btn_Mod_0" << "frame_CircuitMods" << QRect(8, 20, 21, 21);
    QTest::newRow("modification 6") << "btn_Mod_5" << "frame_CircuitMods" << QRect(8, 48, 21, 21);
    QTest::newRow("modification 20") << "btn_Mod_19" << "frame_CircuitMods" << QRect(120, 104, 21, 21);
    QTest::newRow("fault 6") << "btn_Fault_5" << "frame_Faults" << QRect(148, 20, 21, 21);
    QTest::newRow("fault 7") << "btn_Fault_6" << "frame_Faults" << QRect(8, 48, 21, 21);
    QTest::newRow("fault 12") << "btn_Fault_11" << "frame_Faults" << QRect(148, 48, 21, 21);
}

void tst_FaultsAndMods::layout()
{
    QFETCH(QString, control);
    QFETCH(QString, container);
    QFETCH(QRect, expected);
    PanelFixture f;
    auto *widget = f.window->findChild<QWidget *>(control);
    QVERIFY2(widget, qPrintable(control));
    QWidget *expectedParent = container == QLatin1String("client")
        ? f.window->centralWidget()
        : f.window->findChild<QWidget *>(container);
    QCOMPARE(widget->parentWidget(), expectedParent);
    QCOMPARE(widget->geometry(), expected);
}

void tst_FaultsAndMods::windowIsFixedInSize()
{
    PanelFixture f;
    // The client area below the menu bar keeps its size once shown.
    QCOMPARE(f.window->centralWidget()->size(), QSize(369, 339));
    f.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(f.window));
    QCOMPARE(f.window->centralWidget()->size(), QSize(369, 339));
    QCOMPARE(f.window->minimumSize(), f.window->maximumSize());
    QCOMPARE(f.window->frameGeometry().center(), f.window->screen()->availableGeometry().center());
    QVERIFY(!(f.window->windowFlags() & Qt::WindowMinimizeButtonHint));
    QVERIFY(!(f.window->windowFlags() & Qt::WindowMaximizeButtonHint));
}

void tst_FaultsAndMods::buttonsOnTheWindowStandInFrontOfTheFrame()
{
    PanelFixture f;
    QWidget *client = f.window->centralWidget();
    const QPoint insideConnect = f.window->btn_Connect->geometry().center();
    QVERIFY(f.window->frame_Connection->geometry().contains(insideConnect));
    QCOMPARE(client->childAt(insideConnect), f.window->btn_Connect);
    QCOMPARE(client->childAt(f.window->btn_Disconnect->geometry().center()), f.window->btn_Disconnect);
}

void tst_FaultsAndMods::tabOrder()
{
    PanelFixture f;
    QList<QWidget *> expected{f.window->btn_Connect, f.window->btn_Disconnect};
    for (ColourButton *button : f.window->btn_Mod)
        expected << button;
    for (ColourButton *button : f.window->btn_Fault)
        expected << button;
    expected << f.window->btn_Reset;

    QList<QWidget *> chain;
    QWidget *widget = f.window->btn_Connect;
    do {
        if (widget->focusPolicy() & Qt::TabFocus)
            chain << widget;
        widget = widget->nextInFocusChain();
    } while (widget != f.window->btn_Connect && chain.size() <= expected.size());
    QCOMPARE(chain, expected);
}

void tst_FaultsAndMods::menus()
{
    PanelFixture f;
    const QList<QAction *> top = f.window->menuBar()->actions();
    QCOMPARE(top.size(), 2);
    QCOMPARE(top[0]->text(), QStringLiteral("&File"));
    QCOMPARE(top[1]->text(), QStringLiteral("&Option"));
    QCOMPARE(f.window->menu_File->actions(), QList<QAction *>{f.window->menu_Exit});
    QCOMPARE(f.window->menu_Exit->text(), QStringLiteral("E&xit"));
    QCOMPARE(f.window->menu_Option->actions().size(), 1);
    QCOMPARE(f.window->menu_Option->actions()[0]->menu(), f.window->menu_Port);
    QCOMPARE(f.window->menu_Port->title(), QStringLiteral("&Communication Port"));
    const QList<QAction *> ports = f.window->menu_Port->actions();
    QCOMPARE(ports.size(), 12);
    for (int n = 1; n <= 12; ++n) {
        QCOMPARE(ports[n - 1]->text(), QStringLiteral("COM &%1").arg(n));
        QCOMPARE(ports[n - 1]->objectName(), QStringLiteral("menu_Com%1").arg(n));
        QVERIFY(ports[n - 1]->isCheckable());
    }
}

void tst_FaultsAndMods::statusLabelLooks()
{
    PanelFixture f;
    QLabel *label = f.window->lbl_Connection;
    QCOMPARE(label->palette().color(QPalette::WindowText), StatusRed);
    QVERIFY(label->font().bold());
    QCOMPARE(label->font().pointSizeF(), 8.25);
    QCOMPARE(label->alignment() & Qt::AlignHorizontal_Mask, Qt::AlignHCenter);
    QCOMPARE(label->frameShape(), QFrame::Panel);
    QCOMPARE(label->lineWidth(), 1);
    QVERIFY(f.window->lbl_info->wordWrap());
    QCOMPARE(f.window->lbl_info->font().pointSizeF(), 9.75);
    QCOMPARE(f.window->Label1->alignment() & Qt::AlignHorizontal_Mask, Qt::AlignRight);
    QCOMPARE(f.window->Label1->text(), QStringLiteral("Version 1.10"));
    QCOMPARE(f.window->windowTitle(), QStringLiteral("Velmora"));

    f.window->btn_Connect->click();
    QCOMPARE(label->palette().color(QPalette::WindowText), StatusGreen);
    QCOMPARE(label->text(), QStringLiteral("Connected on COM 1"));
}

// The frames, buttons and the version label, those inside a frame in a frame too.
void tst_FaultsAndMods::controlsWithoutAFontOfTheirOwnUseTheDialogFont()
{
    PanelFixture f;
    const QString dialogFont = QFontInfo(platform::DialogFont()).family();
    QList<QWidget *> controls{f.window->Label1};
    for (QWidget *widget : f.window->centralWidget()->findChildren<QWidget *>()) {
        if (qobject_cast<QGroupBox *>(widget) || qobject_cast<QPushButton *>(widget))
            controls << widget;
    }
    QCOMPARE(controls.size(), 1 + 4 + 32 + 3);
    for (QWidget *control : controls)
        QVERIFY2(QFontInfo(control->font()).family() == dialogFont, qPrintable(control->objectName()));
}

void tst_FaultsAndMods::itemButtonsAreNamedForAssistiveTools()
{
    PanelFixture f;
    QCOMPARE(f.window->btn_Fault[2]->accessibleName(), QStringLiteral("Fault 3"));
    QCOMPARE(f.window->btn_Fault[2]->toolTip(), QStringLiteral("Fault 3"));
    QCOMPARE(f.window->btn_Mod[11]->accessibleName(), QStringLiteral("Modification 12"));
    QCOMPARE(f.window->btn_Mod[11]->toolTip(), QStringLiteral("Modification 12"));
}

void tst_FaultsAndMods::portItemsSayWhatTheyLeadTo_data()
{
    QTest::addColumn<int>("port");
    QTest::addColumn<bool>("mapped"); // false: the system's default for the number
    QTest::addColumn<PortTarget>("target");
    QTest::addColumn<QString>("shown");

    const QString byId = QStringLiteral("/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0");
    QTest::newRow("a device by id") << 1 << true << deviceTarget(1, byId) << byId;
    QTest::newRow("a device by name") << 3 << true << deviceTarget(3, "/dev/ttyUSB0") << "/dev/ttyUSB0";
    QTest::newRow("a device, unprintable and too long for a tool tip")
        << 4 << true << deviceTarget(4, QStringLiteral("/dev/a\tb\x01") + QString(200, u'x'))
        << QStringLiteral("/dev/a?b?") + QString(151, u'x') + QStringLiteral("...");
    // A settings file's text is never taken for markup.
    QTest::newRow("a device whose name looks like markup")
        << 1 << true << deviceTarget(1, "/dev/<b>tty</b><img src=x>") << "/dev/<b>tty</b><img src=x>";
    QTest::newRow("a bench") << 5 << true << benchTarget(5, "bench5.lab", 2217, false) << "bench5.lab:2217";
    QTest::newRow("a bench inside TLS") << 6 << true << benchTarget(6, "bench6.lab", 2217, true)
                                        << "bench6.lab:2217 (TLS)";
    QTest::newRow("a bench at an IPv4 address") << 7 << true << benchTarget(7, "192.168.40.15", 4001, false)
                                                << "192.168.40.15:4001";
    QTest::newRow("a bench at an IPv6 address, inside TLS")
        << 8 << true << benchTarget(8, "fd00:40::15", 2217, true) << "[fd00:40::15]:2217 (TLS)";
    QTest::newRow("the system's own port") << 9 << true << systemTarget(9) << "the system's COM9";
#ifdef Q_OS_WIN
    QTest::newRow("unmapped: the system's own port") << 10 << false << PortTarget() << "the system's COM10";
#else
    QTest::newRow("unmapped: the device of its number") << 10 << false << PortTarget() << "/dev/ttyS9";
#endif
    QTest::newRow("an unusable value")
        << 11 << true
        << platform::InvalidPortTarget(11, "rfc2217://bench11.lab:0", "whose TCP port is not 1 to 65535")
        << "Invalid port number: COM11 is mapped to \"rfc2217://bench11.lab:0\", whose TCP port is not 1 to 65535";
    QTest::newRow("an unusable value, unprintable and long")
        << 12 << true
        << platform::InvalidPortTarget(12, QStringLiteral("foo://\x1b[2J") + QString(100, u'y'), "which is no address")
        << QStringLiteral("Invalid port number: COM12 is mapped to \"foo://?[2J") + QString(70, u'y')
               + QStringLiteral("...\", which is no address");
    QTest::newRow("unusable, without a reason") << 2 << true << PortTarget() << "not usable";
}

void tst_FaultsAndMods::portItemsSayWhatTheyLeadTo()
{
    QFETCH(int, port);
    QFETCH(bool, mapped);
    QFETCH(PortTarget, target);
    QFETCH(QString, shown);

    PanelFixture f;
    f.window->menu_Com[3]->trigger(); // COM 4 chosen: its check mark must stay where it is
    const QList<PortItemLook> looks = portItemLooks(f.window);
    for (int n = 1; n <= 12; ++n) {
        if (n != port)
            f.comm->targets[qint16(n)] = deviceTarget(n, QStringLiteral("/dev/other%1").arg(n));
    }
    if (mapped)
        f.comm->targets[qint16(port)] = target;

    QMenu *menu = f.window->menu_Port;
    QVERIFY(menu->toolTipsVisible());
    openPortMenu(f.window);
    QAction *item = f.window->menu_Com[std::size_t(port - 1)];
    QCOMPARE(seenText(item->toolTip()), shown);
    QCOMPARE(shownToolTip(menu, item), shown);
    QCOMPARE(accessibleDescription(menu, item), shown);
    // Every other item says its own.
    for (int n = 1; n <= 12; ++n) {
        if (n == port)
            continue;
        QAction *other = f.window->menu_Com[std::size_t(n - 1)];
        QCOMPARE(other->toolTip(), QStringLiteral("/dev/other%1").arg(n));
        QCOMPARE(accessibleDescription(menu, other), QStringLiteral("/dev/other%1").arg(n));
    }
    QVERIFY(portItemLooks(f.window) == looks);
    menu->hide();
}

void tst_FaultsAndMods::portItemsAreReadAfreshAtEachOpening()
{
    PanelFixture f(QStringLiteral("7"));
    QMenu *menu = f.window->menu_Port;
    QAction *item = f.window->menu_Com[2];
    const QList<PortItemLook> looks = portItemLooks(f.window);

    // Each step changes the map while the menu is closed, then opens it.
    const QList<std::pair<std::optional<PortTarget>, QString>> steps{
        {deviceTarget(3, "/dev/ttyUSB1"), "/dev/ttyUSB1"},
        {benchTarget(3, "bench3.lab", 2217, false), "bench3.lab:2217"},
        {benchTarget(3, "bench3.lab", 2217, true), "bench3.lab:2217 (TLS)"},
        {platform::InvalidPortTarget(3, "rfc2217s://bench3.lab", "which names no TCP port (rfc2217s://HOST:PORT)"),
         "Invalid port number: COM3 is mapped to \"rfc2217s://bench3.lab\", which names no TCP port "
         "(rfc2217s://HOST:PORT)"},
#ifdef Q_OS_WIN
        {std::nullopt, "the system's COM3"},
#else
        {std::nullopt, "/dev/ttyS2"},
#endif
    };
    QString before = item->toolTip();
    for (const auto &[target, shown] : steps) {
        if (target)
            f.comm->targets[3] = *target;
        else
            f.comm->targets.remove(3);
        QCOMPARE(item->toolTip(), before); // nothing reads the map until the menu opens
        openPortMenu(f.window);
        QCOMPARE(shownToolTip(menu, item), shown);
        QCOMPARE(accessibleDescription(menu, item), shown);
        menu->hide();
        before = shown;
    }
    QVERIFY(portItemLooks(f.window) == looks);

    // While connected the items are disabled, and still say where they lead.
    f.connectToBase();
    f.comm->targets[3] = deviceTarget(3, "/dev/ttyACM0");
    openPortMenu(f.window);
    QCOMPARE(item->toolTip(), QStringLiteral("/dev/ttyACM0"));
    QCOMPARE(accessibleDescription(menu, item), QStringLiteral("/dev/ttyACM0"));
    menu->hide();
    QVERIFY(f.comm->portOpen());
    QVERIFY(f.log->written.isEmpty());
}

void tst_FaultsAndMods::portItemsAskTheSerialControlsResolver()
{
    StoreSandbox sandbox;
    RecordingMessageBoxes messages;
    auto map = std::make_shared<std::map<int, QString>>();
    auto asked = std::make_shared<QList<int>>();
    (*map)[2] = QStringLiteral("rfc2217s://bench2.lab:2217");
    QPointer<frm_FaultsAndMods> window = new frm_FaultsAndMods(
        platform::CreateSerialCommControl([map, asked](int number) {
            *asked << number;
            const auto found = map->find(number);
            return platform::PortTargetFromMapping(number, found == map->end() ? QString() : found->second);
        }),
        messages);
    // Described once as the window is made, for tools that look before it opens.
    QCOMPARE(window->menu_Com[1]->toolTip(), QStringLiteral("bench2.lab:2217 (TLS)"));

    (*map)[2] = QStringLiteral("rfc2217://[fd00:40::2]:4002");
    (*map)[12] = QStringLiteral("rfc2217://bench12.lab:99999");
    asked->clear();
    openPortMenu(window);
    // Every number asked once per opening, and nothing opened.
    QCOMPARE(*asked, (QList<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
    QVERIFY(!window->MSCommObject->portOpen());
    QCOMPARE(shownToolTip(window->menu_Port, window->menu_Com[1]), QStringLiteral("[fd00:40::2]:4002"));
    QCOMPARE(window->menu_Com[11]->toolTip(),
             QStringLiteral("Invalid port number: COM12 is mapped to \"rfc2217://bench12.lab:99999\", "
                            "whose TCP port is not 1 to 65535"));
    window->menu_Port->hide();
    delete window.data();
    QVERIFY(messages.shown.isEmpty());
}

QTEST_MAIN(tst_FaultsAndMods)
#include "tst_faults_and_mods.moc"
