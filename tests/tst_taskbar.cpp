#include "tests/support/panel_fixture.h"
#include "tests/support/private_desktop.h"
#include "tests/support/recording_message_boxes.h"
#include "tests/support/store_sandbox.h"

#include "access_gate/frm_PasswordDialog.h"
#include "password_utility/frm_Login.h"
#include "platform/ui/form_support.h"

#include <QApplication>
#include <QDialog>
#include <QGuiApplication>
#include <QMessageBox>
#include <QTimer>
#include <QtTest>
#include <xcb/xcb.h>

#include <memory>

namespace {

xcb_connection_t *connection()
{
    return qGuiApp->nativeInterface<QNativeInterface::QX11Application>()->connection();
}

xcb_atom_t atom(const char *name)
{
    xcb_intern_atom_reply_t *reply = xcb_intern_atom_reply(
        connection(), xcb_intern_atom(connection(), 0, static_cast<uint16_t>(qstrlen(name)), name), nullptr);
    const xcb_atom_t found = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
    std::free(reply);
    return found;
}

QByteArray atomName(xcb_atom_t atom)
{
    xcb_get_atom_name_reply_t *reply =
        xcb_get_atom_name_reply(connection(), xcb_get_atom_name(connection(), atom), nullptr);
    const QByteArray name = reply ? QByteArray(xcb_get_atom_name_name(reply), xcb_get_atom_name_name_length(reply))
                                  : QByteArray();
    std::free(reply);
    return name;
}

// A property of the window's X window as 32-bit values, empty when it has none.
QList<quint32> windowProperty(QWidget *window, const char *name)
{
    const auto id = static_cast<xcb_window_t>(window->winId());
    xcb_get_property_reply_t *reply = xcb_get_property_reply(
        connection(), xcb_get_property(connection(), 0, id, atom(name), XCB_GET_PROPERTY_TYPE_ANY, 0, 64),
        nullptr);
    QList<quint32> values;
    if (reply && reply->format == 32) {
        const auto *data = static_cast<const quint32 *>(xcb_get_property_value(reply));
        values = QList<quint32>(data, data + xcb_get_property_value_length(reply) / 4);
    }
    std::free(reply);
    return values;
}

QByteArrayList atomNames(QWidget *window, const char *name)
{
    QByteArrayList names;
    for (const quint32 value : windowProperty(window, name))
        names << atomName(value);
    return names;
}

void showAndWaitForTheFrame(QWidget *window)
{
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
    // The window manager frames the window before it maps it, and says how.
    QTRY_COMPARE(windowProperty(window, "_NET_FRAME_EXTENTS").size(), 4);
}

} // namespace

// The windows on an X display run by a window manager that honours the
// EWMH hints, as the desktops of Linux do.
class tst_Taskbar : public QObject
{
    Q_OBJECT

public:
    explicit tst_Taskbar(const PrivateDesktop &desktop)
        : m_desktop(desktop)
    {
    }

private slots:
    void initTestCase();
    void onlyThePasswordWindowsKeepOffTheTaskbar_data();
    void onlyThePasswordWindowsKeepOffTheTaskbar();

private:
    const PrivateDesktop &m_desktop;
};

void tst_Taskbar::initTestCase()
{
    if (!m_desktop.isRunning())
        QSKIP(qPrintable(QStringLiteral("no private X display with a window manager: ") + m_desktop.whyNot()));
    QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb"));
}

void tst_Taskbar::onlyThePasswordWindowsKeepOffTheTaskbar_data()
{
    QTest::addColumn<QString>("window");
    QTest::addColumn<bool>("offTaskbar");
    QTest::newRow("authentication dialog") << "dialog" << true;
    QTest::newRow("password utility") << "utility" << true;
    QTest::newRow("main window") << "main" << false;
}

void tst_Taskbar::onlyThePasswordWindowsKeepOffTheTaskbar()
{
    QFETCH(QString, window);
    QFETCH(bool, offTaskbar);

    StoreSandbox sandbox;
    RecordingMessageBoxes messages;
    std::unique_ptr<PanelFixture> panel;
    std::unique_ptr<QWidget> form;
    QWidget *shown = nullptr;
    if (window == QLatin1String("dialog")) {
        form.reset(new frm_PasswordDialog(messages, [] { return new QWidget; }));
        shown = form.get();
    } else if (window == QLatin1String("utility")) {
        form.reset(new frm_Login(messages));
        shown = form.get();
    } else {
        panel = std::make_unique<PanelFixture>();
        shown = panel->window;
    }
    // Alone, as each password window is when its program starts.
    showAndWaitForTheFrame(shown);
    if (QTest::currentTestFailed())
        return;
    // The window manager rewrites the state once the window is mapped: what
    // it keeps there is what it honours.
    QTRY_COMPARE(atomNames(shown, "_NET_WM_STATE").contains("_NET_WM_STATE_SKIP_TASKBAR"), offTaskbar);
    QVERIFY(QTest::qWaitForWindowActive(shown));
    // A message box over it, as a wrong password brings: once it is closed,
    // the window has the focus again.
    QTimer::singleShot(200, shown, [] {
        if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget()))
            box->accept();
    });
    QMessageBox::warning(shown, QStringLiteral("Invalid password"), QStringLiteral("The password entered is invalid."));
    QVERIFY(QTest::qWaitForWindowActive(shown));

    // An ordinary fixed window that does nothing about the taskbar has the
    // same frame and decorations.
    QDialog plain;
    platform::SetUpFixedWindow(&plain);
    plain.setFixedSize(shown->size());
    showAndWaitForTheFrame(&plain);
    QVERIFY(!atomNames(&plain, "_NET_WM_STATE").contains("_NET_WM_STATE_SKIP_TASKBAR"));
    QCOMPARE(windowProperty(shown, "_MOTIF_WM_HINTS"), windowProperty(&plain, "_MOTIF_WM_HINTS"));
    QCOMPARE(windowProperty(shown, "_NET_FRAME_EXTENTS"), windowProperty(&plain, "_NET_FRAME_EXTENTS"));

    // Hidden, the window manager forgets the window's state; shown again,
    // while another window has the focus, it keeps off the taskbar again and
    // takes the focus.
    shown->hide();
    QTRY_VERIFY(atomNames(shown, "_NET_WM_STATE").isEmpty());
    QVERIFY(QTest::qWaitForWindowActive(&plain));
    showAndWaitForTheFrame(shown);
    QTRY_COMPARE(atomNames(shown, "_NET_WM_STATE").contains("_NET_WM_STATE_SKIP_TASKBAR"), offTaskbar);
    QVERIFY(QTest::qWaitForWindowActive(shown));
}

int main(int argc, char *argv[])
{
    // The display and its window manager first: the application connects to it.
    PrivateDesktop desktop(PrivateDesktop::WindowManager);
    qputenv("QT_QPA_PLATFORM", desktop.isRunning() ? "xcb" : "offscreen");
    QApplication app(argc, argv);
    tst_Taskbar test(desktop);
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_taskbar.moc"
