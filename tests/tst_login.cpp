#include "tests/support/control_layout.h"
#include "tests/support/recording_message_boxes.h"
#include "tests/support/store_sandbox.h"

#include "access_gate/password_encoding.h"
#include "app_settings/settings_keys.h"
#include "password_utility/frm_Login.h"
#include "platform/settings/settings_store.h"
#include "platform/ui/single_byte_text.h"

#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QtTest>

using platform::MessageIcon;

namespace {

QString storedPassword()
{
    return platform::SettingsStore::read(settings_keys::Application, QStringLiteral("General"),
                                         QStringLiteral("Password"), QStringLiteral("<none>"));
}

// What the stored text decodes to, as the window's text.
QString decodedStoredPassword()
{
    const auto codes = platform::ToSingleByteCodes(storedPassword());
    const auto password = codes ? DecodePassword(*codes) : std::nullopt;
    return password ? platform::FromSingleByteCodes(*password) : QStringLiteral("<unreadable>");
}

} // namespace

class LoginFixture
{
public:
    LoginFixture() { window = new frm_Login(messages); }
    ~LoginFixture() { delete window.data(); }

    void showAndActivate()
    {
        window->show();
        window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(window));
    }
    void enter(const QString &password, const QString &confirmation)
    {
        window->txt_Password->setText(password);
        window->txt_PasswordConfirmation->setText(confirmation);
        window->btn_OK->click();
    }

    StoreSandbox sandbox;
    RecordingMessageBoxes messages;
    QPointer<frm_Login> window;
};

class tst_Login : public QObject
{
    Q_OBJECT

private slots:
    void okClick_data();
    void okClick();
    void storedOnlyWhenStoreWasWritten();
    void refusalsEmptyTheBoxesAndMoveTheFocus_data();
    void refusalsEmptyTheBoxesAndMoveTheFocus();
    void twoRunsStoreDifferentTextsOfOnePassword();
    void longestPasswordThatCanBeRead();
    void enterActsAsOkAndEscapeDoesNothing();
    void closeBoxStoresNothing();
    void layout_data();
    void layout();
    void boxes();
};

void tst_Login::okClick_data()
{
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("confirmation");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("text");
    QTest::addColumn<MessageIcon>("icon");
    QTest::addColumn<bool>("stored");

    const QString invalid = QStringLiteral("Invalid password");
    const QString mismatch = QStringLiteral("The password confirmation is different than the password.");
    const QString tooShort = QStringLiteral("The password you entered doesn't have at least 6 characters.");
    const QString unstorable = QStringLiteral(
        "The password contains a character that cannot be stored.  Please use letters, digits, spaces "
        "and punctuation only.");
    const QString accepted = QStringLiteral("The password has been correctly set.");
    const MessageIcon warn = MessageIcon::Exclamation;

    QTest::newRow("short and different: mismatch first") << "abc" << "xyz" << invalid << mismatch << warn << false;
    QTest::newRow("letter case differs") << "Secret1" << "secret1" << invalid << mismatch << warn << false;
    QTest::newRow("trailing blank differs") << "secret1" << "secret1 " << invalid << mismatch << warn << false;
    QTest::newRow("both empty") << "" << "" << invalid << tooShort << warn << false;
    QTest::newRow("five characters") << "abcde" << "abcde" << invalid << tooShort << warn << false;
    QTest::newRow("six characters") << "abcdef" << "abcdef" << "Password Accepted" << accepted
                                    << MessageIcon::Information << true;
    QTest::newRow("six spaces") << "      " << "      " << "Password Accepted" << accepted
                                << MessageIcon::Information << true;
    QTest::newRow("blanks at both ends kept") << "  pass  " << "  pass  " << "Password Accepted" << accepted
                                              << MessageIcon::Information << true;
    QTest::newRow("accented letters and euro sign") << "café€12" << "café€12" << "Password Accepted"
                                                    << accepted << MessageIcon::Information << true;
    QTest::newRow("tab pasted in") << "pass\tword" << "pass\tword" << invalid << unstorable << warn << false;
    QTest::newRow("no single-byte code") << "passĀword" << "passĀword" << invalid << unstorable << warn << false;
    QTest::newRow("emoji") << "pass😀word" << "pass😀word" << invalid << unstorable << warn << false;
    QTest::newRow("too long to be read back") << QString(32767, QLatin1Char('a')) << QString(32767, QLatin1Char('a'))
                                              << invalid
                                              << "The password is too long to be stored.  Please use a shorter password."
                                              << warn << false;
}

void tst_Login::okClick()
{
    QFETCH(QString, password);
    QFETCH(QString, confirmation);
    QFETCH(QString, title);
    QFETCH(QString, text);
    QFETCH(MessageIcon, icon);
    QFETCH(bool, stored);

    LoginFixture f;
    f.window->show();
    f.enter(password, confirmation);
    QCOMPARE(f.messages.shown.size(), 1);
    QCOMPARE(f.messages.shown[0].title, title);
    QCOMPARE(f.messages.shown[0].text, text);
    QCOMPARE(f.messages.shown[0].icon, icon);
    if (stored) {
        QCOMPARE(decodedStoredPassword(), password);
        QTRY_VERIFY(f.window.isNull()); // closes once the message is dismissed
    } else {
        QCOMPARE(storedPassword(), QStringLiteral("<none>"));
        QVERIFY(f.window->isVisible());
    }
}

void tst_Login::storedOnlyWhenStoreWasWritten()
{
#ifdef Q_OS_WIN
    QSKIP("a test cannot make the registry unwritable; the INI store covers this path");
#else
    LoginFixture f;
    // A file where the config folder should be: the store cannot be written.
    const QString blocker = f.sandbox.configDir() + QStringLiteral("/blocked");
    QFile file(blocker);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    qputenv("XDG_CONFIG_HOME", blocker.toLocal8Bit());

    f.window->show();
    f.enter(QStringLiteral("secret1"), QStringLiteral("secret1"));
    QCOMPARE(f.messages.shown.size(), 1);
    QCOMPARE(f.messages.shown[0].title, QStringLiteral("Password not saved"));
    QCOMPARE(f.messages.shown[0].text,
             QStringLiteral("The password could not be saved.  Please check that your settings can be "
                            "written, then try again."));
    QCOMPARE(f.messages.shown[0].icon, MessageIcon::Exclamation);
    QVERIFY(f.window->isVisible());
    QCOMPARE(f.window->txt_Password->text(), QStringLiteral("secret1"));
    QCOMPARE(f.window->txt_PasswordConfirmation->text(), QStringLiteral("secret1"));

    // Once the store can be written, the same entries go through.
    qputenv("XDG_CONFIG_HOME", f.sandbox.configDir().toLocal8Bit());
    f.window->btn_OK->click();
    QCOMPARE(f.messages.titles().last(), QStringLiteral("Password Accepted"));
    QCOMPARE(decodedStoredPassword(), QStringLiteral("secret1"));
#endif
}

void tst_Login::refusalsEmptyTheBoxesAndMoveTheFocus_data()
{
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("confirmation");
    QTest::addColumn<QString>("passwordAfter");
    QTest::addColumn<QString>("focused");
    QTest::newRow("mismatch keeps the password") << "abc" << "xyz" << "abc" << "txt_PasswordConfirmation";
    QTest::newRow("too short empties both") << "abcde" << "abcde" << "" << "txt_Password";
    QTest::newRow("unstorable empties both") << "pass\tword" << "pass\tword" << "" << "txt_Password";
}

void tst_Login::refusalsEmptyTheBoxesAndMoveTheFocus()
{
    QFETCH(QString, password);
    QFETCH(QString, confirmation);
    QFETCH(QString, passwordAfter);
    QFETCH(QString, focused);
    LoginFixture f;
    f.showAndActivate();
    f.window->btn_OK->setFocus();
    f.enter(password, confirmation);
    QCOMPARE(f.window->txt_Password->text(), passwordAfter);
    QCOMPARE(f.window->txt_PasswordConfirmation->text(), QString());
    QTRY_COMPARE(QApplication::focusWidget()->objectName(), focused);
}

void tst_Login::twoRunsStoreDifferentTextsOfOnePassword()
{
    QStringList texts;
    StoreSandbox sandbox;
    for (int run = 0; run < 2; ++run) {
        RecordingMessageBoxes messages;
        QPointer<frm_Login> window = new frm_Login(messages);
        window->show();
        window->txt_Password->setText(QStringLiteral("Velmora!2026"));
        window->txt_PasswordConfirmation->setText(QStringLiteral("Velmora!2026"));
        window->btn_OK->click();
        QTRY_VERIFY(window.isNull());
        texts << storedPassword();
        QCOMPARE(decodedStoredPassword(), QStringLiteral("Velmora!2026"));
    }
    // 13 random selectors would have to repeat exactly.
    QVERIFY(texts[0] != texts[1]);
}

void tst_Login::longestPasswordThatCanBeRead()
{
    // Three-digit figures make four characters each: 8,000 letters fit the
    // 32,767 characters that Velmora reads.
    LoginFixture f;
    const QString password(8000, QLatin1Char('a'));
    f.enter(password, password);
    QCOMPARE(f.messages.titles(), QStringList{"Password Accepted"});
    QCOMPARE(decodedStoredPassword(), password);
}

void tst_Login::enterActsAsOkAndEscapeDoesNothing()
{
    LoginFixture f;
    f.showAndActivate();
    QTest::keyClicks(f.window->txt_Password, QStringLiteral("secret1"));
    QTest::keyClick(f.window->txt_Password, Qt::Key_Tab);
    QTest::keyClicks(f.window->txt_PasswordConfirmation, QStringLiteral("secret1"));
    QTest::keyClick(f.window->txt_PasswordConfirmation, Qt::Key_Escape);
    QVERIFY(f.window->isVisible());
    QVERIFY(f.messages.shown.isEmpty());

    QTest::keyClick(f.window->txt_PasswordConfirmation, Qt::Key_Return);
    QCOMPARE(f.messages.titles(), QStringList{"Password Accepted"});
    QCOMPARE(decodedStoredPassword(), QStringLiteral("secret1"));
}

void tst_Login::closeBoxStoresNothing()
{
    LoginFixture f;
    f.window->show();
    f.window->txt_Password->setText(QStringLiteral("secret1"));
    f.window->txt_PasswordConfirmation->setText(QStringLiteral("secret1"));
    f.window->close();
    QTRY_VERIFY(f.window.isNull());
    QVERIFY(f.messages.shown.isEmpty());
    QCOMPARE(storedPassword(), QStringLiteral("<none>"));
}

void tst_Login::layout_data()
{
    // Pixels worked out from the design's twips at 15 to a pixel.
    QTest::addColumn<QString>("control");
    QTest::addColumn<QRect>("expected");
    QTest::addColumn<QString>("caption");
    QTest::newRow("password box") << "txt_Password" << QRect(144, 72, 147, 23) << "";
    QTest::newRow("OK") << "btn_OK" << QRect(131, 136, 76, 21) << "OK";
    QTest::newRow("confirmation box") << "txt_PasswordConfirmation" << QRect(144, 99, 147, 23) << "";
    QTest::newRow("length rule") << "Label2" << QRect(40, 40, 257, 17)
                                 << "The password must be of at least 6 characters long.";
    QTest::newRow("introduction") << "Label1" << QRect(40, 8, 257, 25)
                                  << "Enter a password that will be used to allow a secure access to the Velmora software.";
    QTest::newRow("password label") << "lbl_Password" << QRect(40, 74, 56, 18) << "Password :";
    QTest::newRow("confirmation label") << "lbl_PasswordConfirmation" << QRect(39, 100, 96, 18)
                                        << "Confirm Password :";
}

void tst_Login::layout()
{
    QFETCH(QString, control);
    QFETCH(QRect, expected);
    QFETCH(QString, caption);
    LoginFixture f;
    VerifyControl(f.window, control, expected, caption);
    if (QTest::currentTestFailed())
        return;

    QCOMPARE(f.window->windowTitle(), QStringLiteral("Velmora Password"));
    QCOMPARE(f.window->size(), QSize(332, 165));
    QCOMPARE(f.window->minimumSize(), f.window->maximumSize());
    QVERIFY(f.window->Label1->wordWrap());
    QVERIFY(f.window->btn_OK->isDefault());
    QCOMPARE(f.window->txt_Password->nextInFocusChain(), f.window->txt_PasswordConfirmation);
    QCOMPARE(f.window->txt_PasswordConfirmation->nextInFocusChain(), f.window->btn_OK);
}

void tst_Login::boxes()
{
    LoginFixture f;
    f.showAndActivate();
    QCOMPARE(QApplication::focusWidget(), f.window->txt_Password);
    for (QLineEdit *box : {f.window->txt_Password, f.window->txt_PasswordConfirmation}) {
        QCOMPARE(box->maxLength(), 32767);
        box->setText(QStringLiteral("a b"));
        QCOMPARE(box->displayText(), QString(3, QChar(0x25CF)));
        QVERIFY(!box->testAttribute(Qt::WA_InputMethodEnabled));
    }
}

QTEST_MAIN(tst_Login)
#include "tst_login.moc"
