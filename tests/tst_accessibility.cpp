#include "tests/support/accessibility_recorder.h"
#include "tests/support/panel_checks.h"
#include "tests/support/panel_fixture.h"
#include "tests/support/recording_message_boxes.h"
#include "tests/support/store_sandbox.h"

#include "access_gate/frm_PasswordDialog.h"
#include "password_utility/frm_Login.h"
#include "trainer_panel/colour_button.h"

#include <QAccessible>
#include <QAction>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QWindow>
#include <QtPlugin>
#include <QtTest>

#include <cstring>
#include <memory>

Q_IMPORT_PLUGIN(AccessibilityRecorder)

using accessibility_recorder::EventsOf;
namespace comm_event = platform::comm_event;

namespace {

QAccessibleInterface *accessible(QObject *object)
{
    QAccessibleInterface *iface = QAccessible::queryAccessibleInterface(object);
    if (!iface)
        qWarning("no accessible interface for %s", qPrintable(object->objectName()));
    return iface;
}

ColourButton *ItemButton(frm_FaultsAndMods *window, bool fault, int index)
{
    return fault ? window->btn_Fault[static_cast<std::size_t>(index)]
                 : window->btn_Mod[static_cast<std::size_t>(index)];
}

QList<ColourButton *> allItemButtons(frm_FaultsAndMods *window)
{
    QList<ColourButton *> buttons(window->btn_Mod.begin(), window->btn_Mod.end());
    buttons.append(QList<ColourButton *>(window->btn_Fault.begin(), window->btn_Fault.end()));
    return buttons;
}

// The item's state as assistive tools read it, which must agree with its colour.
bool checkedFor(QObject *button)
{
    return accessible(button)->state().checked;
}

// What a button told of its checked state; enabling and disabling are told too.
QList<accessibility_recorder::Event> checkedChanges(const QObject *button)
{
    QList<accessibility_recorder::Event> told;
    for (const auto &event : EventsOf(button, QAccessible::StateChanged)) {
        if (event.changed.checked)
            told << event;
    }
    return told;
}

// The states a tool can be told, by name, so that a difference reads plainly.
QStringList stateNames(const QAccessible::State &state)
{
    const std::pair<const char *, bool> all[] = {
        {"disabled", state.disabled}, {"selected", state.selected}, {"focusable", state.focusable},
        {"focused", state.focused}, {"pressed", state.pressed}, {"checkable", state.checkable},
        {"checked", state.checked}, {"checkStateMixed", state.checkStateMixed}, {"readOnly", state.readOnly},
        {"hotTracked", state.hotTracked}, {"defaultButton", state.defaultButton}, {"expanded", state.expanded},
        {"collapsed", state.collapsed}, {"busy", state.busy}, {"expandable", state.expandable},
        {"marqueed", state.marqueed}, {"animated", state.animated}, {"invisible", state.invisible},
        {"offscreen", state.offscreen}, {"sizeable", state.sizeable}, {"movable", state.movable},
        {"selfVoicing", state.selfVoicing}, {"selectable", state.selectable}, {"linked", state.linked},
        {"traversed", state.traversed}, {"multiSelectable", state.multiSelectable},
        {"extSelectable", state.extSelectable}, {"passwordEdit", state.passwordEdit},
        {"hasPopup", state.hasPopup}, {"modal", state.modal}, {"active", state.active},
        {"invalid", state.invalid}, {"editable", state.editable}, {"multiLine", state.multiLine},
        {"selectableText", state.selectableText}, {"supportsAutoCompletion", state.supportsAutoCompletion},
        {"searchEdit", state.searchEdit}};
    QStringList names;
    for (const auto &[name, set] : all) {
        if (set)
            names << QString::fromLatin1(name);
    }
    return names;
}

bool sameState(const QAccessible::State &a, const QAccessible::State &b)
{
    return std::memcmp(&a, &b, sizeof a) == 0; // zeroed by its constructor, bit fields and all
}

// A port item as tools find it: through the menu.
QAccessibleInterface *portItem(frm_FaultsAndMods *window, int port)
{
    return accessible(window->menu_Port)->child(port - 1);
}

platform::PortTarget benchTarget(int number, const QString &host, bool tls)
{
    platform::PortTarget target;
    target.kind = platform::PortTarget::Kind::Network;
    target.number = number;
    target.host = host;
    target.tcpPort = 2217;
    target.tls = tls;
    return target;
}

void addItemRows()
{
    QTest::addColumn<bool>("fault");
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("name");
    for (int i = 0; i < 12; ++i)
        QTest::addRow("fault %d", i + 1) << true << i << QStringLiteral("Fault %1").arg(i + 1);
    for (int i = 0; i < 20; ++i)
        QTest::addRow("modification %d", i + 1) << false << i << QStringLiteral("Modification %1").arg(i + 1);
}

} // namespace

class tst_Accessibility : public QObject
{
    Q_OBJECT

private slots:
    void init() { accessibility_recorder::Events().clear(); }

    void itemIsACheckBoxCheckedWhileInserted_data() { addItemRows(); }
    void itemIsACheckBoxCheckedWhileInserted();
    void toolsToggleAnItemAsAClickDoes_data() { addItemRows(); }
    void toolsToggleAnItemAsAClickDoes();
    void everyItemIsUncheckedAndToldSo_data();
    void everyItemIsUncheckedAndToldSo();
    void anotherColourIsNotChecked();
    void disabledItemIgnoresTheTools();
    void framesAreNamedByTheirOwnCaptions_data();
    void framesAreNamedByTheirOwnCaptions();
    void statusChangesAreTold_data();
    void statusChangesAreTold();
    void textBoxesAreNamedByTheirLabels_data();
    void textBoxesAreNamedByTheirLabels();
    void portItemsReadAsQtsOwnMenuItems_data();
    void portItemsReadAsQtsOwnMenuItems();
    void toolsChooseAPortAsAClickDoes_data();
    void toolsChooseAPortAsAClickDoes();
    void portDescriptionChangesAreTold();
};

void tst_Accessibility::itemIsACheckBoxCheckedWhileInserted()
{
    QFETCH(bool, fault);
    QFETCH(int, index);
    QFETCH(QString, name);

    PanelFixture f;
    f.connectToBase();
    ColourButton *button = ItemButton(f.window, fault, index);
    QAccessibleInterface *iface = accessible(button);
    QVERIFY(iface);
    QCOMPARE(iface->text(QAccessible::Name), name);
    QCOMPARE(iface->role(), QAccessible::CheckBox);
    QVERIFY(iface->state().checkable);
    QVERIFY(!iface->state().checked);
    // The look is untouched: a checkable button would be drawn sunken by some styles.
    QVERIFY(!button->isCheckable());

    for (const bool inserted : {true, false}) {
        accessibility_recorder::Events().clear();
        button->click();
        QCOMPARE(iface->state().checked, inserted);
        QCOMPARE(button->backColor(), inserted ? panel_checks::LightRed : panel_checks::FaceColour);
        // Told once, with the new state already in place when the tool reads it.
        const auto told = checkedChanges(button);
        QCOMPARE(told.size(), 1);
        QCOMPARE(told[0].checked, inserted);
        QCOMPARE(told[0].name, name);
    }
}

void tst_Accessibility::toolsToggleAnItemAsAClickDoes()
{
    QFETCH(bool, fault);
    QFETCH(int, index);

    PanelFixture f;
    f.connectToBase();
    ColourButton *button = ItemButton(f.window, fault, index);
    QAccessibleActionInterface *actions = accessible(button)->actionInterface();
    QVERIFY(actions);
    QVERIFY(actions->actionNames().contains(QAccessibleActionInterface::toggleAction()));

    actions->doAction(QAccessibleActionInterface::toggleAction());
    QTRY_COMPARE(f.log->written.size(), 1);
    QVERIFY(checkedFor(button));
    actions->doAction(QAccessibleActionInterface::pressAction());
    QTRY_COMPARE(f.log->written.size(), 2);
    QVERIFY(!checkedFor(button));
    // The same bytes as two clicks send.
    const QByteArray byTools = f.log->written;
    f.log->written.clear();
    button->click();
    button->click();
    QCOMPARE(f.log->written, byTools);
}

void tst_Accessibility::everyItemIsUncheckedAndToldSo_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("Reset All") << "reset";
    QTest::newRow("Disconnect") << "disconnect";
    QTest::newRow("connection lost") << "lost";
}

void tst_Accessibility::everyItemIsUncheckedAndToldSo()
{
    QFETCH(QString, how);
    PanelFixture f;
    f.connectToBase();
    f.waitUntilArmed();
    const QList<ColourButton *> inserted{f.window->btn_Fault[0], f.window->btn_Fault[11], f.window->btn_Mod[19]};
    for (ColourButton *button : inserted)
        button->click();
    accessibility_recorder::Events().clear();

    if (how == QLatin1String("reset")) {
        f.window->btn_Reset->click();
    } else if (how == QLatin1String("disconnect")) {
        f.window->btn_Disconnect->click();
    } else {
        f.comm->raise(comm_event::CD);
        QTRY_COMPARE(f.messages.shown.size(), 1);
    }

    for (ColourButton *button : allItemButtons(f.window)) {
        QVERIFY2(!checkedFor(button), qPrintable(button->objectName()));
        const auto told = checkedChanges(button);
        // Only a change is told; an item that was removed already stays quiet.
        if (inserted.contains(button)) {
            QCOMPARE(told.size(), 1);
            QVERIFY(!told[0].checked);
        } else {
            QVERIFY2(told.isEmpty(), qPrintable(button->objectName()));
        }
    }
}

void tst_Accessibility::anotherColourIsNotChecked()
{
    PanelFixture f;
    f.connectToBase();
    ColourButton *button = f.window->btn_Mod[7];
    button->click();
    accessibility_recorder::Events().clear();

    // A colour that is neither state is not an inserted item.
    button->setBackColor(0x00123456);
    QVERIFY(!checkedFor(button));
    QCOMPARE(checkedChanges(button).size(), 1);
    button->setBackColor(panel_checks::FaceColour);
    QCOMPARE(checkedChanges(button).size(), 1);
}

void tst_Accessibility::disabledItemIgnoresTheTools()
{
    PanelFixture f; // disconnected: the panel is disabled
    ColourButton *button = f.window->btn_Fault[2];
    QAccessibleInterface *iface = accessible(button);
    QVERIFY(iface->state().disabled);
    iface->actionInterface()->doAction(QAccessibleActionInterface::toggleAction());
    QTest::qWait(300); // longer than the click a tool's action would make
    QVERIFY(f.log->written.isEmpty());
    QVERIFY(!iface->state().checked);
    QCOMPARE(button->backColor(), panel_checks::FaceColour);
}

void tst_Accessibility::framesAreNamedByTheirOwnCaptions_data()
{
    QTest::addColumn<QString>("frame");
    QTest::addColumn<QString>("name");
    QTest::newRow("connection") << "frame_Connection" << "Connection Status";
    QTest::newRow("board options") << "frame_BoardOptions" << "Board options";
    QTest::newRow("circuit modifications, inside board options")
        << "frame_CircuitMods" << "Circuit Modifications";
    QTest::newRow("faults, inside board options") << "frame_Faults" << "Faults";
}

void tst_Accessibility::framesAreNamedByTheirOwnCaptions()
{
    QFETCH(QString, frame);
    QFETCH(QString, name);
    PanelFixture f;
    auto *box = f.window->findChild<QGroupBox *>(frame);
    QVERIFY(box);
    QCOMPARE(box->title(), name);
    QAccessibleInterface *iface = accessible(box);
    QCOMPARE(iface->role(), QAccessible::Grouping);
    QCOMPARE(iface->text(QAccessible::Name), name);
}

void tst_Accessibility::statusChangesAreTold_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<QStringList>("told");
    QTest::newRow("connect") << "connect" << QStringList{"Connected on COM 1"};
    QTest::newRow("connect, then disconnect") << "disconnect" << QStringList{"Connected on COM 1", "Disconnected"};
    QTest::newRow("connect, then the connection is lost")
        << "lost" << QStringList{"Connected on COM 1", "Disconnected"};
    QTest::newRow("no base answers") << "not found" << QStringList();
}

void tst_Accessibility::statusChangesAreTold()
{
    QFETCH(QString, how);
    QFETCH(QStringList, told);
    PanelFixture f;
    QLabel *status = f.window->lbl_Connection;
    if (how == QLatin1String("not found"))
        f.comm->answerBytes = 0;
    accessibility_recorder::Events().clear();

    f.window->btn_Connect->click();
    if (how == QLatin1String("disconnect")) {
        f.window->btn_Disconnect->click();
    } else if (how == QLatin1String("lost")) {
        f.waitUntilArmed();
        f.comm->raise(comm_event::DSR);
        QTRY_COMPARE(f.messages.shown.size(), 1);
    }

    QStringList names;
    for (const auto &event : EventsOf(status, QAccessible::NameChanged))
        names << event.name;
    QCOMPARE(names, told);
    QCOMPARE(accessible(status)->text(QAccessible::Name), status->text());
}

void tst_Accessibility::textBoxesAreNamedByTheirLabels_data()
{
    QTest::addColumn<QString>("window");
    QTest::addColumn<QString>("box");
    QTest::addColumn<QString>("label");
    QTest::addColumn<QString>("name");
    QTest::newRow("authentication dialog") << "dialog" << "txt_Password" << "lbl_Password"
                                           << "Enter your password :";
    QTest::newRow("utility, password") << "utility" << "txt_Password" << "lbl_Password" << "Password :";
    QTest::newRow("utility, confirmation") << "utility" << "txt_PasswordConfirmation"
                                           << "lbl_PasswordConfirmation" << "Confirm Password :";
}

void tst_Accessibility::textBoxesAreNamedByTheirLabels()
{
    QFETCH(QString, window);
    QFETCH(QString, box);
    QFETCH(QString, label);
    QFETCH(QString, name);

    StoreSandbox sandbox;
    RecordingMessageBoxes messages;
    std::unique_ptr<QWidget> form;
    if (window == QLatin1String("dialog"))
        form.reset(new frm_PasswordDialog(messages, [] { return new QWidget; }));
    else
        form.reset(new frm_Login(messages));
    auto *textBox = form->findChild<QLineEdit *>(box);
    auto *textLabel = form->findChild<QLabel *>(label);
    QVERIFY(textBox && textLabel);
    QCOMPARE(textLabel->text(), name);

    QAccessibleInterface *iface = accessible(textBox);
    QCOMPARE(iface->role(), QAccessible::EditableText);
    QVERIFY(iface->state().passwordEdit);
    QCOMPARE(iface->text(QAccessible::Name), name);
    // The label is told as the box's label, so a tool can go from one to the other.
    QAccessibleInterface *labelIface = accessible(textLabel);
    bool labelled = false;
    for (const auto &relation : iface->relations(QAccessible::Label))
        labelled = labelled || relation.first == labelIface;
    QVERIFY(labelled);
    // Typed text is never read out as the name.
    QTest::keyClicks(textBox, QStringLiteral("secret"));
    QCOMPARE(iface->text(QAccessible::Name), name);
}

void tst_Accessibility::portItemsReadAsQtsOwnMenuItems_data()
{
    QTest::addColumn<bool>("open");
    QTest::addColumn<bool>("connected");
    QTest::addColumn<int>("active"); // the item under the pointer or the keys; 0: none
    QTest::newRow("menu closed") << false << false << 0;
    QTest::newRow("menu open") << true << false << 0;
    QTest::newRow("menu open, COM 5 active") << true << false << 5;
    QTest::newRow("menu open while connected") << true << true << 0;
}

// Qt's own menu items give no description; apart from it, a port item must read
// to tools exactly as Qt's own item of the same caption and state does.
void tst_Accessibility::portItemsReadAsQtsOwnMenuItems()
{
    QFETCH(bool, open);
    QFETCH(bool, connected);
    QFETCH(int, active);

    PanelFixture f(QStringLiteral("4"));
    if (connected)
        f.connectToBase();
    QMenu *menu = f.window->menu_Port;
    QMenu twin;
    for (QAction *item : menu->actions()) {
        QAction *plain = twin.addAction(item->text());
        plain->setCheckable(item->isCheckable());
        plain->setChecked(item->isChecked());
        plain->setEnabled(item->isEnabled());
    }
    if (open) {
        menu->popup(QPoint(10, 10));
        twin.popup(QPoint(200, 10));
        QVERIFY(menu->isVisible() && twin.isVisible());
    }
    if (active) {
        menu->setActiveAction(menu->actions().at(active - 1));
        twin.setActiveAction(twin.actions().at(active - 1));
    }

    QAccessibleInterface *menuIface = accessible(menu);
    QAccessibleInterface *twinIface = accessible(&twin);
    QCOMPARE(menuIface->childCount(), twinIface->childCount());
    for (int n = 1; n <= 12; ++n) {
        const QByteArray where = QByteArrayLiteral("COM ") + QByteArray::number(n);
        QAccessibleInterface *ours = menuIface->child(n - 1);
        QAccessibleInterface *qts = twinIface->child(n - 1);
        QVERIFY2(ours && qts, where.constData());
        QCOMPARE(ours->object(), f.window->menu_Com[std::size_t(n - 1)]);
        QVERIFY(ours->isValid());
        QCOMPARE(ours->role(), qts->role());
        QCOMPARE(ours->text(QAccessible::Name), qts->text(QAccessible::Name));
        QCOMPARE(ours->text(QAccessible::Name), QStringLiteral("COM %1").arg(n));
        QCOMPARE(ours->text(QAccessible::Accelerator), qts->text(QAccessible::Accelerator));
        QCOMPARE(stateNames(ours->state()), stateNames(qts->state()));
        QVERIFY2(sameState(ours->state(), qts->state()), where.constData());
        QCOMPARE(ours->childCount(), qts->childCount());
        QCOMPARE(ours->parent(), menuIface);
        QCOMPARE(ours->window(), menu->windowHandle());
        QCOMPARE(qts->window(), twin.windowHandle());
        QCOMPARE(menuIface->indexOfChild(ours), n - 1);
        QCOMPARE(ours->actionInterface()->actionNames(), qts->actionInterface()->actionNames());
        // Where the item is drawn, on the screen, as Qt's is placed in its own menu.
        const QRect drawn = menu->actionGeometry(f.window->menu_Com[std::size_t(n - 1)]);
        QCOMPARE(ours->rect(), drawn.translated(menu->mapToGlobal(QPoint(0, 0))));
        QCOMPARE(qts->rect(), twin.actionGeometry(twin.actions().at(n - 1)).translated(twin.mapToGlobal(QPoint(0, 0))));
        // What Qt's item lacks, and ours has: the same text as the tool tip.
        QVERIFY(qts->text(QAccessible::Description).isEmpty());
        QVERIFY(!ours->text(QAccessible::Description).isEmpty());
        QCOMPARE(ours->text(QAccessible::Description), f.window->menu_Com[std::size_t(n - 1)]->toolTip());
    }
    menu->hide();
    twin.hide();
}

void tst_Accessibility::toolsChooseAPortAsAClickDoes_data()
{
    QTest::addColumn<bool>("connected");
    QTest::newRow("disconnected") << false;
    QTest::newRow("connected: the items are disabled") << true;
}

void tst_Accessibility::toolsChooseAPortAsAClickDoes()
{
    QFETCH(bool, connected);
    PanelFixture f(QStringLiteral("2"));
    if (connected)
        f.connectToBase();
    QAccessibleActionInterface *actions = portItem(f.window, 7)->actionInterface();
    QVERIFY(actions);
    actions->doAction(QAccessibleActionInterface::pressAction());
    const int chosen = connected ? 2 : 7;
    QCOMPARE(f.window->selectedCommPort(), QString::number(chosen));
    for (int n = 1; n <= 12; ++n) {
        QCOMPARE(f.window->menu_Com[std::size_t(n - 1)]->isChecked(), n == chosen);
        QCOMPARE(portItem(f.window, n)->state().checked, n == chosen);
    }
}

void tst_Accessibility::portDescriptionChangesAreTold()
{
    PanelFixture f;
    QMenu *menu = f.window->menu_Port;
    const auto toldChanged = [] {
        QList<QObject *> senders;
        for (const auto &event : accessibility_recorder::Events()) {
            if (event.type == QAccessible::DescriptionChanged)
                senders << event.object.data();
        }
        return senders;
    };
    const auto openAndClose = [menu] {
        accessibility_recorder::Events().clear();
        menu->popup(QPoint(10, 10));
        menu->hide();
    };

    openAndClose(); // nothing changed since the window was made
    QCOMPARE(toldChanged(), QList<QObject *>());

    f.comm->targets[5] = benchTarget(5, QStringLiteral("bench5.lab"), false);
    openAndClose();
    QCOMPARE(toldChanged(), QList<QObject *>{f.window->menu_Com[4]});
    QCOMPARE(portItem(f.window, 5)->text(QAccessible::Description), QStringLiteral("bench5.lab:2217"));

    f.comm->targets[5] = benchTarget(5, QStringLiteral("bench5.lab"), true);
    f.comm->targets[9] = benchTarget(9, QStringLiteral("bench9.lab"), false);
    openAndClose();
    QCOMPARE(toldChanged(), (QList<QObject *>{f.window->menu_Com[4], f.window->menu_Com[8]}));
    QCOMPARE(portItem(f.window, 5)->text(QAccessible::Description), QStringLiteral("bench5.lab:2217 (TLS)"));
    QCOMPARE(portItem(f.window, 9)->text(QAccessible::Description), QStringLiteral("bench9.lab:2217"));

    openAndClose();
    QCOMPARE(toldChanged(), QList<QObject *>());
}

QTEST_MAIN(tst_Accessibility)
#include "tst_accessibility.moc"
