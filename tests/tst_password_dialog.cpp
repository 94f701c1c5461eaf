#include "tests/support/control_layout.h"
#include "tests/support/recording_message_boxes.h"
#include "tests/support/store_sandbox.h"

#include "access_gate/frm_PasswordDialog.h"
#include "access_gate/password_encoding.h"
#include "app_settings/settings_keys.h"
#include "password_utility/frm_Login.h"
#include "platform/settings/settings_store.h"
#include "platform/ui/single_byte_text.h"
#include "platform/ui/form_support.h"

#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QtTest>

using platform::MessageIcon;

namespace {

const QString NotRegisteredText = QStringLiteral(
    "Your password has not been registered.  Please re-install the application\r\n"
    "and make sure your administrative password is registered correctly.");

QString encoded(const QString &password)
{
    const auto codes = platform::ToSingleByteCodes(password);
    return codes ? QString::fromLatin1(EncodePassword(*codes)) : QString();
}

void storePassword(const QString &value)
{
    QVERIFY(platform::SettingsStore::write(settings_keys::Application, QStringLiteral("General"),
                                           QStringLiteral("Password"), value));
}

} // namespace

// The dialog on its own, with a stand-in for the main window it opens.
class DialogFixture
{
public:
    DialogFixture()
    {
        dialog = new frm_PasswordDialog(messages, [this]() -> QWidget * {
            ++mainWindowsCreated;
            mainWindow = new QWidget;
            mainWindow->setAttribute(Qt::WA_DeleteOnClose);
            return mainWindow;
        });
    }
    ~DialogFixture()
    {
        delete dialog.data();
        delete mainWindow.data();
    }

    void showAndActivate()
    {
        dialog->show();
        dialog->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(dialog));
    }

    void enter(const QString &typed)
    {
        dialog->txt_Password->setText(typed);
        dialog->btn_OK->click();
    }

    StoreSandbox sandbox;
    RecordingMessageBoxes messages;
    QPointer<frm_PasswordDialog> dialog;
    QPointer<QWidget> mainWindow;
    int mainWindowsCreated = 0;
};

class tst_PasswordDialog : public QObject
{
    Q_OBJECT

private slots:
    void okClick_data();
    void okClick();
    void wrongPasswordEmptiesAndFocusesTheBox();
    void secondTryCanSucceed();
    void programEndsWithItsLastWindow_data();
    void programEndsWithItsLastWindow();
    void enterClicksOkAndEscapeDoesNothing();
    void keysActOnTheFocusedControl_data();
    void keysActOnTheFocusedControl();
    void passwordStoredMeanwhileByAnotherProcessCounts();
    void passwordSetByTheUtilityOpensTheDialog();
    void layout_data();
    void layout();
    void maskedEntry();
};

void tst_PasswordDialog::okClick_data()
{
    QTest::addColumn<QString>("stored"); // "<none>": no value in the store
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("outcome"); // "main", "invalid", "not registered"

    const QString secret = encoded(QStringLiteral("secret1"));
    QTest::newRow("nothing stored, empty box") << "<none>" << "" << "not registered";
    QTest::newRow("nothing stored, something typed") << "<none>" << "secret1" << "not registered";
    QTest::newRow("stored -1") << "-1" << "secret1" << "not registered";
    QTest::newRow("right password") << secret << "secret1" << "main";
    QTest::newRow("wrong password") << secret << "secret2" << "invalid";
    QTest::newRow("letter case differs") << secret << "Secret1" << "invalid";
    QTest::newRow("trailing blank") << secret << "secret1 " << "invalid";
    QTest::newRow("empty box") << secret << "" << "invalid";
    QTest::newRow("blanks are part of it") << encoded(QStringLiteral("  pass  ")) << "  pass  " << "main";
    QTest::newRow("accented letters") << encoded(QStringLiteral("café€12")) << "café€12" << "main";
    QTest::newRow("worked example") << "A575J141a154z" << "abc" << "main";
    QTest::newRow("lead letter only, empty box") << "Q" << "" << "main";
    QTest::newRow("empty text, empty box") << "" << "" << "main";
    QTest::newRow("lead letter only, something typed") << "Q" << "x" << "invalid";
    QTest::newRow("unreadable: ends in digits") << "A575" << "a" << "not registered";
    QTest::newRow("unreadable: figure too large") << "A9999J" << "" << "not registered";
    QTest::newRow("unreadable: not single-byte text") << "A575\u0101" << "" << "not registered";
}

void tst_PasswordDialog::okClick()
{
    QFETCH(QString, stored);
    QFETCH(QString, typed);
    QFETCH(QString, outcome);

    DialogFixture f;
    if (stored != QLatin1String("<none>"))
        storePassword(stored);
    f.dialog->show();
    f.enter(typed);

    if (outcome == QLatin1String("main")) {
        QVERIFY(f.messages.shown.isEmpty());
        QCOMPARE(f.mainWindowsCreated, 1);
        QVERIFY(f.mainWindow->isVisible());
        QTRY_VERIFY(f.dialog.isNull());
    } else if (outcome == QLatin1String("invalid")) {
        QCOMPARE(f.messages.shown.size(), 1);
        QCOMPARE(f.messages.shown[0].title, QStringLiteral("Invalid password"));
        QCOMPARE(f.messages.shown[0].text, QStringLiteral("The password entered is invalid."));
        QCOMPARE(f.messages.shown[0].icon, MessageIcon::Stop);
        QCOMPARE(f.mainWindowsCreated, 0);
        QVERIFY(f.dialog->isVisible());
        QCOMPARE(f.dialog->txt_Password->text(), QString());
    } else {
        QCOMPARE(f.messages.shown.size(), 1);
        QCOMPARE(f.messages.shown[0].title, QStringLiteral("Password not registered correctly"));
        QCOMPARE(f.messages.shown[0].text, NotRegisteredText);
        QCOMPARE(f.messages.shown[0].icon, MessageIcon::Stop);
        QCOMPARE(f.mainWindowsCreated, 0);
        QTRY_VERIFY(f.dialog.isNull());
    }
}

void tst_PasswordDialog::wrongPasswordEmptiesAndFocusesTheBox()
{
    DialogFixture f;
    storePassword(encoded(QStringLiteral("secret1")));
    f.showAndActivate();
    bool boxHeldTextWhileShown = false;
    f.messages.onShow = [&](const RecordingMessageBoxes::Message &) {
        boxHeldTextWhileShown = !f.dialog->txt_Password->text().isEmpty();
    };
    QTest::keyClicks(f.dialog->txt_Password, QStringLiteral("wrong"));
    f.dialog->btn_OK->setFocus(); // as after a mouse click on OK
    f.dialog->btn_OK->click();
    QVERIFY(boxHeldTextWhileShown); // emptied only after the message is closed
    QCOMPARE(f.dialog->txt_Password->text(), QString());
    QTRY_VERIFY(f.dialog->txt_Password->hasFocus());
}

void tst_PasswordDialog::secondTryCanSucceed()
{
    DialogFixture f;
    storePassword(encoded(QStringLiteral("secret1")));
    f.dialog->show();
    f.enter(QStringLiteral("secret"));
    f.enter(QStringLiteral("Secret1"));
    f.enter(QStringLiteral("secret1"));
    QCOMPARE(f.messages.titles(), (QStringList{"Invalid password", "Invalid password"}));
    QCOMPARE(f.mainWindowsCreated, 1);
    QTRY_VERIFY(f.dialog.isNull());
}

// Runs the program's event loop until it ends by itself (0) or the guard
// stops it after a few seconds (2).
static int runEventLoopUntilProgramEnds()
{
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, qApp, [] { QCoreApplication::exit(2); });
    guard.start(5000);
    return QApplication::exec();
}

void tst_PasswordDialog::programEndsWithItsLastWindow_data()
{
    QTest::addColumn<bool>("utility");  // VelmoraPassword's window, else Velmora's dialog
    QTest::addColumn<QString>("action"); // "OK", "Cancel" or "close box"
    QTest::addColumn<bool>("passwordStored");
    QTest::addColumn<bool>("opensMainWindow");
    QTest::addColumn<bool>("hiddenOwner"); // how Windows keeps the windows off the taskbar
    QTest::addColumn<QStringList>("messages");

    for (const bool hiddenOwner : {false, true}) {
        const char *suffix = hiddenOwner ? ", hidden owner" : "";
        QTest::addRow("Velmora, Cancel%s", suffix)
            << false << "Cancel" << true << false << hiddenOwner << QStringList();
        QTest::addRow("Velmora, close box%s", suffix)
            << false << "close box" << true << false << hiddenOwner << QStringList();
        QTest::addRow("Velmora, no password stored%s", suffix)
            << false << "OK" << false << false << hiddenOwner
            << QStringList{"Password not registered correctly"};
        QTest::addRow("Velmora, main window until it closes%s", suffix)
            << false << "OK" << true << true << hiddenOwner << QStringList();
        QTest::addRow("VelmoraPassword, password accepted%s", suffix)
            << true << "OK" << false << false << hiddenOwner << QStringList{"Password Accepted"};
        QTest::addRow("VelmoraPassword, close box%s", suffix)
            << true << "close box" << false << false << hiddenOwner << QStringList();
    }
}

void tst_PasswordDialog::programEndsWithItsLastWindow()
{
    QFETCH(bool, utility);
    QFETCH(QString, action);
    QFETCH(bool, passwordStored);
    QFETCH(bool, opensMainWindow);
    QFETCH(bool, hiddenOwner);
    QFETCH(QStringList, messages);

    DialogFixture f; // its store sandbox serves the utility too
    RecordingMessageBoxes utilityMessages;
    QPointer<frm_Login> login;
    QPointer<QDialog> window;
    if (utility) {
        delete f.dialog.data();
        window = login = new frm_Login(utilityMessages);
    } else {
        window = f.dialog.data();
    }
    if (passwordStored)
        storePassword(encoded(QStringLiteral("secret1")));
    if (hiddenOwner)
        platform::GiveHiddenOwner(window);
    window->show();

    QTimer::singleShot(0, window, [&] {
        if (action == QLatin1String("close box")) {
            window->close();
        } else if (utility) {
            login->txt_Password->setText(QStringLiteral("secret1"));
            login->txt_PasswordConfirmation->setText(QStringLiteral("secret1"));
            login->btn_OK->click();
        } else {
            f.dialog->txt_Password->setText(QStringLiteral("secret1"));
            (action == QLatin1String("OK") ? f.dialog->btn_OK : f.dialog->btn_Cancel)->click();
        }
    });
    // The program must still run on the main window, and end when it closes.
    bool ranOnTheMainWindow = false;
    if (opensMainWindow) {
        QTimer::singleShot(300, qApp, [&f, &ranOnTheMainWindow] {
            ranOnTheMainWindow = f.dialog.isNull() && f.mainWindow && f.mainWindow->isVisible();
            if (f.mainWindow)
                f.mainWindow->close();
        });
    }
    const int ended = runEventLoopUntilProgramEnds();
    const bool windowGone = window.isNull();
    delete window.data();
    QCOMPARE(ended, 0);
    QVERIFY(windowGone);
    QCOMPARE(ranOnTheMainWindow, opensMainWindow);
    QCOMPARE(f.mainWindowsCreated, opensMainWindow ? 1 : 0);
    QCOMPARE(f.messages.titles() + utilityMessages.titles(), messages);
}

void tst_PasswordDialog::enterClicksOkAndEscapeDoesNothing()
{
    DialogFixture f;
    storePassword(encoded(QStringLiteral("secret1")));
    f.showAndActivate();
    QTest::keyClicks(f.dialog->txt_Password, QStringLiteral("secret1"));
    QTest::keyClick(f.dialog->txt_Password, Qt::Key_Escape);
    QVERIFY(f.dialog->isVisible());
    QCOMPARE(f.dialog->txt_Password->text(), QStringLiteral("secret1"));
    QVERIFY(f.messages.shown.isEmpty());

    QTest::keyClick(f.dialog->txt_Password, Qt::Key_Return);
    QCOMPARE(f.mainWindowsCreated, 1);
    QTRY_VERIFY(f.dialog.isNull());
}

void tst_PasswordDialog::keysActOnTheFocusedControl_data()
{
    QTest::addColumn<QString>("focus");
    QTest::addColumn<int>("key");
    QTest::addColumn<QString>("outcome"); // "main window", "closed" or "nothing"
    QTest::newRow("box, Return: the default button") << "txt_Password" << int(Qt::Key_Return) << "main window";
    QTest::newRow("box, keypad Enter") << "txt_Password" << int(Qt::Key_Enter) << "main window";
    QTest::newRow("box, Space is typed") << "txt_Password" << int(Qt::Key_Space) << "nothing";
    QTest::newRow("OK, Return") << "btn_OK" << int(Qt::Key_Return) << "main window";
    QTest::newRow("OK, Space") << "btn_OK" << int(Qt::Key_Space) << "main window";
    QTest::newRow("Cancel, Return clicks Cancel") << "btn_Cancel" << int(Qt::Key_Return) << "closed";
    QTest::newRow("Cancel, keypad Enter clicks Cancel") << "btn_Cancel" << int(Qt::Key_Enter) << "closed";
    QTest::newRow("Cancel, Space") << "btn_Cancel" << int(Qt::Key_Space) << "closed";
}

void tst_PasswordDialog::keysActOnTheFocusedControl()
{
    QFETCH(QString, focus);
    QFETCH(int, key);
    QFETCH(QString, outcome);
    DialogFixture f;
    storePassword(encoded(QStringLiteral("secret1")));
    f.showAndActivate();
    f.dialog->txt_Password->setText(QStringLiteral("secret1"));
    auto *focused = f.dialog->findChild<QWidget *>(focus);
    QVERIFY(focused);
    focused->setFocus(Qt::TabFocusReason);
    QTRY_VERIFY(focused->hasFocus());

    QTest::keyClick(focused, Qt::Key(key));
    if (outcome == QLatin1String("nothing")) {
        QVERIFY(f.dialog->isVisible());
        QCOMPARE(f.mainWindowsCreated, 0);
        return;
    }
    QTRY_VERIFY(f.dialog.isNull());
    QCOMPARE(f.mainWindowsCreated, outcome == QLatin1String("main window") ? 1 : 0);
    QVERIFY(f.messages.shown.isEmpty());
}

void tst_PasswordDialog::passwordStoredMeanwhileByAnotherProcessCounts()
{
    DialogFixture f;
    storePassword(encoded(QStringLiteral("oldpass")));
    f.dialog->show();
    f.enter(QStringLiteral("newpass"));
    QCOMPARE(f.messages.titles(), QStringList{"Invalid password"});

    QProcess tool;
    tool.start(QStringLiteral(VELMORA_SETTINGS_TOOL),
               {QStringLiteral("set"), QStringLiteral("General"), QStringLiteral("Password"),
                encoded(QStringLiteral("newpass"))});
    QVERIFY(tool.waitForFinished(10000));
    QCOMPARE(tool.exitCode(), 0);

    f.enter(QStringLiteral("newpass"));
    QCOMPARE(f.mainWindowsCreated, 1);
    QTRY_VERIFY(f.dialog.isNull());
}

void tst_PasswordDialog::passwordSetByTheUtilityOpensTheDialog()
{
    DialogFixture f;
    RecordingMessageBoxes utilityMessages;
    QPointer<frm_Login> utility = new frm_Login(utilityMessages);
    utility->show();
    utility->txt_Password->setText(QStringLiteral("Lab 42 é"));
    utility->txt_PasswordConfirmation->setText(QStringLiteral("Lab 42 é"));
    utility->btn_OK->click();
    QCOMPARE(utilityMessages.titles(), QStringList{"Password Accepted"});
    QTRY_VERIFY(utility.isNull());

    f.dialog->show();
    f.enter(QStringLiteral("Lab 42 e"));
    QCOMPARE(f.messages.titles(), QStringList{"Invalid password"});
    f.enter(QStringLiteral("Lab 42 é"));
    QCOMPARE(f.mainWindowsCreated, 1);
}

void tst_PasswordDialog::layout_data()
{
    // Pixels worked out from the design's twips at 15 to a pixel.
    QTest::addColumn<QString>("control");
    QTest::addColumn<QRect>("expected");
    QTest::addColumn<QString>("caption");
    QTest::newRow("password box") << "txt_Password" << QRect(144, 24, 105, 18) << "";
    QTest::newRow("OK") << "btn_OK" << QRect(64, 56, 65, 21) << "OK";
    QTest::newRow("Cancel") << "btn_Cancel" << QRect(136, 56, 65, 21) << "Cancel";
    QTest::newRow("label") << "lbl_Password" << QRect(16, 24, 105, 17) << "Enter your password :";
}

void tst_PasswordDialog::layout()
{
    QFETCH(QString, control);
    QFETCH(QRect, expected);
    QFETCH(QString, caption);
    DialogFixture f;
    VerifyControl(f.dialog, control, expected, caption);
    if (QTest::currentTestFailed())
        return;

    QCOMPARE(f.dialog->windowTitle(), QStringLiteral("Authentication"));
    QCOMPARE(f.dialog->size(), QSize(264, 84));
    QCOMPARE(f.dialog->minimumSize(), f.dialog->maximumSize());
    QVERIFY(!(f.dialog->windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
    QVERIFY(f.dialog->btn_OK->isDefault());
    QVERIFY(!f.dialog->btn_Cancel->isDefault());
    QCOMPARE(f.dialog->txt_Password->nextInFocusChain(), f.dialog->btn_OK);
    QCOMPARE(f.dialog->btn_OK->nextInFocusChain(), f.dialog->btn_Cancel);
}

void tst_PasswordDialog::maskedEntry()
{
    DialogFixture f;
    f.showAndActivate();
    QCOMPARE(f.dialog->frameGeometry().center(), f.dialog->screen()->availableGeometry().center());
    QCOMPARE(QApplication::focusWidget(), f.dialog->txt_Password);
    QTest::keyClicks(f.dialog->txt_Password, QStringLiteral("ab c"));
    QCOMPARE(f.dialog->txt_Password->text(), QStringLiteral("ab c"));
    QCOMPARE(f.dialog->txt_Password->displayText(), QString(4, QChar(0x25CF)));
    QVERIFY(!f.dialog->txt_Password->testAttribute(Qt::WA_InputMethodEnabled));
}

QTEST_MAIN(tst_PasswordDialog)
#include "tst_password_dialog.moc"
