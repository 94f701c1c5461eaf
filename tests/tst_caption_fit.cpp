#include "tests/support/panel_fixture.h"
#include "tests/support/recording_message_boxes.h"

#include "access_gate/frm_PasswordDialog.h"
#include "access_gate/password_dialog_layout.h"
#include "password_utility/frm_Login.h"
#include "password_utility/login_layout.h"
#include "platform/ui/caption_fit.h"
#include "platform/ui/form_support.h"
#include "trainer_panel/faults_and_mods_layout.h"

#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QScopeGuard>
#include <QStyleOptionButton>
#include <QtTest>

#include <map>
#include <memory>

// Whether a caption shows whole is read from the pixels: the text's ink is
// what changes when only the text's colour changes.
namespace {

QImage paintedWith(QWidget *widget, const QColor &textColour)
{
    const QPalette kept = widget->palette();
    QPalette palette = kept;
    for (const QPalette::ColorRole role : {QPalette::WindowText, QPalette::ButtonText, QPalette::Text,
                                           QPalette::BrightText, QPalette::HighlightedText})
        palette.setColor(role, textColour);
    widget->setPalette(palette);
    const qreal ratio = widget->devicePixelRatioF();
    QImage image((QSizeF(widget->size()) * ratio).toSize(), QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(ratio);
    image.fill(Qt::transparent);
    // The control alone: a frame's controls are not its caption.
    widget->render(&image, QPoint(), QRegion(), QWidget::DrawWindowBackground);
    widget->setPalette(kept);
    return image;
}

QRect changedPixels(const QImage &a, const QImage &b, const QRect &within)
{
    QRect box;
    const QRect area = within & a.rect();
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            if (a.pixel(x, y) != b.pixel(x, y))
                box |= QRect(x, y, 1, 1);
        }
    }
    return box;
}

QRect toDevice(const QRect &rect, qreal ratio)
{
    return QRectF(QPointF(rect.topLeft()) * ratio, QSizeF(rect.size()) * ratio).toAlignedRect();
}

// The ink of the widget's text within `area` (its own coordinates), in device pixels.
QRect drawnInk(QWidget *widget, const QRect &area)
{
    return changedPixels(paintedWith(widget, Qt::black), paintedWith(widget, Qt::white),
                         toDevice(area, widget->devicePixelRatioF()));
}

QString inkText(const QRect &ink)
{
    return QStringLiteral("%1x%2 at %3,%4").arg(ink.width()).arg(ink.height()).arg(ink.x()).arg(ink.y());
}

QString describe(const QWidget *widget, const QString &text)
{
    return QStringLiteral("\"%1\" in %2 %3 pt").arg(text, QFontInfo(widget->font()).family())
        .arg(widget->font().pointSizeF());
}

// Where a push button's style puts its caption.
QRect buttonContents(const QPushButton *button)
{
    QStyleOptionButton option;
    option.initFrom(button);
    option.text = button->text();
    if (button->isDefault())
        option.features |= QStyleOptionButton::DefaultButton;
    if (button->autoDefault())
        option.features |= QStyleOptionButton::AutoDefaultButton;
    return button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button);
}

QString captionOf(const QWidget *control)
{
    if (auto *label = qobject_cast<const QLabel *>(control))
        return label->text();
    if (auto *button = qobject_cast<const QPushButton *>(control))
        return button->text();
    if (auto *frame = qobject_cast<const QGroupBox *>(control))
        return frame->title();
    return {};
}

// Where the control's caption may draw: inside a label's frame, where a
// button's style puts it, anywhere in a frame.
QRect roomGiven(QWidget *control)
{
    if (auto *label = qobject_cast<QLabel *>(control))
        return label->contentsRect();
    if (auto *button = qobject_cast<QPushButton *>(control))
        return buttonContents(button);
    return control->rect();
}

// The control's box made so large that nothing of its caption can be cut off,
// while the caption stays where it is drawn: a label grows away from the edge
// its text is aligned to (or on both sides of centred text) and keeps the
// width its text wraps at, a button on all sides, a frame to the right of its
// title. Steps of 4 pixels keep whole device pixels at ratios of 1.25 and 1.5.
QRect roomier(const QWidget *control)
{
    const int more = 4 * (control->fontMetrics().horizontalAdvance(captionOf(control)) / 4 + 8);
    const QRect box = control->geometry();
    Qt::Alignment align = Qt::AlignCenter;
    bool wraps = false;
    if (auto *label = qobject_cast<const QLabel *>(control)) {
        align = QStyle::visualAlignment(label->layoutDirection(), label->alignment());
        wraps = label->wordWrap();
    } else if (qobject_cast<const QGroupBox *>(control)) {
        return box.adjusted(0, 0, more, 0);
    }
    int left = 0, right = 0, top = 0, bottom = 0;
    if (!wraps) {
        if (align & Qt::AlignRight)
            left = more;
        else if (align & Qt::AlignHCenter)
            left = right = more;
        else
            right = more;
    }
    if (align & Qt::AlignTop)
        bottom = more;
    else if (align & Qt::AlignBottom)
        top = more;
    else
        top = bottom = more;
    return box.adjusted(-left, -top, right, bottom);
}

// Empty when the control's caption shows whole in the room it is given: its
// ink is all the ink it has in a box too large to cut any off. Else what is wrong.
QString captionClipping(QWidget *control)
{
    const QString text = captionOf(control);
    const QRect drawn = drawnInk(control, control->rect());
    const QRect box = control->geometry();
    const QRect large = roomier(control);
    control->setGeometry(large);
    const QRect whole = drawnInk(control, control->rect())
                            .translated(toDevice(QRect(large.topLeft() - box.topLeft(), QSize()),
                                                 control->devicePixelRatioF()).topLeft());
    control->setGeometry(box);
    const QRect given = toDevice(roomGiven(control), control->devicePixelRatioF());
    const QString what = QStringLiteral("%1: drawn %2, whole %3, room %4")
                             .arg(describe(control, text), inkText(drawn), inkText(whole), inkText(given));
    if (drawn.isEmpty())
        return QStringLiteral("nothing drawn of ") + what;
    if (drawn != whole)
        return QStringLiteral("clipped ") + what;
    if (!given.contains(drawn))
        return QStringLiteral("outside its room ") + what;
    return {};
}

// The same for an item of a menu bar or menu. A menu draws each item where
// it lays it out, so its ink is held against the text drawn on its own; a
// pixel less is the same text from another fraction of a pixel, a clipped
// character takes several.
QString menuItemClipping(QWidget *menu, const QString &text, const QRect &item)
{
    const QRect drawn = drawnInk(menu, item);
    const QFont font(menu->font(), menu);
    const QRect layout = QFontMetrics(font).boundingRect(text);
    const qreal ratio = menu->devicePixelRatioF();
    const auto draw = [&](const QColor &colour) {
        QImage image((QSizeF(layout.size() + QSize(40, 40)) * ratio).toSize(), QImage::Format_ARGB32_Premultiplied);
        image.setDevicePixelRatio(ratio);
        image.fill(Qt::gray);
        QPainter painter(&image);
        painter.setFont(font);
        painter.setPen(colour);
        painter.drawText(QRect(QPoint(20, 20), layout.size()), Qt::TextHideMnemonic, text);
        return image;
    };
    const QImage black = draw(Qt::black);
    const QRect whole = changedPixels(black, draw(Qt::white), black.rect());
    const QString what = QStringLiteral("%1: drawn %2, whole %3")
                             .arg(describe(menu, text), inkText(drawn), inkText(whole));
    if (drawn.isEmpty())
        return QStringLiteral("nothing drawn of ") + what;
    if (drawn.width() < whole.width() - 1 || drawn.height() < whole.height() - 1)
        return QStringLiteral("clipped ") + what;
    return {};
}

bool isAncestor(const QWidget *candidate, const QWidget *widget)
{
    for (const QWidget *up = widget->parentWidget(); up; up = up->parentWidget()) {
        if (up == candidate)
            return true;
    }
    return false;
}

QRect rectIn(const QWidget *widget, const QWidget *form)
{
    return QRect(widget->mapTo(form, QPoint(0, 0)), widget->size());
}

// The first control of the form, other than the control's own containers,
// that lies over `area` (the control's coordinates); empty when none.
QString controlOver(const QWidget *control, const QWidget *form, const QRect &area)
{
    const QRect inForm = area.translated(control->mapTo(form, QPoint(0, 0)));
    for (const QWidget *other : form->findChildren<QWidget *>()) {
        if (other != control && !other->isHidden() && !isAncestor(other, control)
            && rectIn(other, form).intersects(inForm))
            return other->objectName().isEmpty() ? QString::fromLatin1(other->metaObject()->className())
                                                 : other->objectName();
    }
    return {};
}

// The three windows as a test sees them, shown. Each is made once for all
// rows: under Wine without a window manager every window that closes takes
// two seconds to go. A row may want the main window connected on COM 12, for
// the longest status text.
enum class Window { Main, MainConnected, Dialog, Utility };

class Windows
{
public:
    explicit Windows(Window which)
    {
        if (which == Window::Main) {
            panel = std::make_unique<PanelFixture>(QStringLiteral("12"));
            form = panel->window->centralWidget();
            top = panel->window;
        } else if (which == Window::Dialog) {
            // Neither password window reads or writes the store before OK,
            // which no row clicks.
            dialog = new frm_PasswordDialog(messages, [] { return new QWidget; });
            form = top = dialog;
        } else {
            utility = new frm_Login(messages);
            form = top = utility;
        }
        top->show();
        QVERIFY(QTest::qWaitForWindowExposed(top));
    }
    ~Windows()
    {
        delete dialog.data();
        delete utility.data();
    }

    QWidget *form = nullptr; // the controls' client area
    QWidget *top = nullptr;
    frm_FaultsAndMods *main() const { return panel ? panel->window.data() : nullptr; }

private:
    RecordingMessageBoxes messages;
    std::unique_ptr<PanelFixture> panel;
    QPointer<frm_PasswordDialog> dialog;
    QPointer<frm_Login> utility;
};

QRect pixels(const platform::TwipsRect &twips)
{
    return twips.toPixels();
}

// Every label, button and frame of the three windows, with the caption it
// shows, its box as laid out (in its container) and its font's size there;
// `withMenus` adds every menu title and item of the main window.
void addCaptionRows(bool withMenus)
{
    namespace main = faults_and_mods_layout;
    namespace dialog = password_dialog_layout;
    namespace utility = login_layout;
    QTest::addColumn<Window>("window");
    QTest::addColumn<QString>("control");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QString>("alsoShows"); // another text it shows at another time
    QTest::addColumn<QRect>("laidOut");
    QTest::addColumn<qreal>("points");

    const auto row = [](const char *name, Window window, const char *control, const QString &caption,
                        const QRect &laidOut, qreal points = 8.25, const QString &alsoShows = QString()) {
        QTest::newRow(name) << window << QString::fromLatin1(control) << caption << alsoShows << laidOut << points;
    };
    row("main: connection frame", Window::Main, "frame_Connection", "Connection Status", pixels(main::frame_Connection));
    row("main: status disconnected", Window::Main, "lbl_Connection", "Disconnected", pixels(main::lbl_Connection),
        8.25, "Connected on COM 12");
    row("main: status on COM 12", Window::MainConnected, "lbl_Connection", "Connected on COM 12",
        pixels(main::lbl_Connection), 8.25, "Disconnected");
    row("main: Connect", Window::Main, "btn_Connect", "Connect", pixels(main::btn_Connect));
    row("main: Disconnect", Window::Main, "btn_Disconnect", "Disconnect", pixels(main::btn_Disconnect));
    row("main: board options", Window::Main, "frame_BoardOptions", "Board options", pixels(main::frame_BoardOptions));
    row("main: circuit modifications", Window::Main, "frame_CircuitMods", "Circuit Modifications",
        pixels(main::frame_CircuitMods));
    row("main: faults", Window::Main, "frame_Faults", "Faults", pixels(main::frame_Faults));
    for (int i = 0; i < 20; ++i) {
        QTest::addRow("main: modification %d", i + 1)
            << Window::Main << QStringLiteral("btn_Mod_%1").arg(i) << QString::number(i + 1) << QString()
            << pixels(main::ItemButton(i, main::ModColumns)) << 8.25;
    }
    for (int i = 0; i < 12; ++i) {
        QTest::addRow("main: fault %d", i + 1)
            << Window::Main << QStringLiteral("btn_Fault_%1").arg(i) << QString::number(i + 1) << QString()
            << pixels(main::ItemButton(i, main::FaultColumns)) << 8.25;
    }
    row("main: Reset All", Window::Main, "btn_Reset", "Reset All", pixels(main::btn_Reset));
    row("main: information", Window::Main, "lbl_info",
        "Please refer to instructor's guide to obtain the description of faults and circuit modifications.",
        pixels(main::lbl_info), 9.75);
    row("main: version", Window::Main, "Label1", "Version 1.10", pixels(main::Label1));

    row("dialog: label", Window::Dialog, "lbl_Password", "Enter your password :", pixels(dialog::lbl_Password));
    row("dialog: OK", Window::Dialog, "btn_OK", "OK", pixels(dialog::btn_OK));
    row("dialog: Cancel", Window::Dialog, "btn_Cancel", "Cancel", pixels(dialog::btn_Cancel));

    row("utility: introduction", Window::Utility, "Label1",
        "Enter a password that will be used to allow a secure access to the Velmora software.",
        pixels(utility::Label1));
    row("utility: length rule", Window::Utility, "Label2", "The password must be of at least 6 characters long.",
        pixels(utility::Label2));
    row("utility: password label", Window::Utility, "lbl_Password", "Password :", pixels(utility::lbl_Password));
    row("utility: confirmation label", Window::Utility, "lbl_PasswordConfirmation", "Confirm Password :",
        pixels(utility::lbl_PasswordConfirmation));
    row("utility: OK", Window::Utility, "btn_OK", "OK", pixels(utility::btn_OK));

    if (!withMenus)
        return;
    row("menu: File", Window::Main, "menu_File", "&File", QRect());
    row("menu: Exit", Window::Main, "menu_Exit", "E&xit", QRect());
    row("menu: Option", Window::Main, "menu_Option", "&Option", QRect());
    row("menu: Communication Port", Window::Main, "menu_Port", "&Communication Port", QRect());
    for (int port = 1; port <= 12; ++port) {
        QTest::addRow("menu: COM %d", port) << Window::Main << QStringLiteral("menu_Com%1").arg(port)
                                            << QStringLiteral("COM &%1").arg(port) << QString() << QRect() << 8.25;
    }
}

// The bar or menu that shows `action`, laid out as when it opens.
QWidget *menuShowing(frm_FaultsAndMods *window, QAction *action)
{
    if (window->menuBar()->actions().contains(action))
        return window->menuBar();
    for (QMenu *menu : window->findChildren<QMenu *>()) {
        if (menu->actions().contains(action)) {
            menu->ensurePolished();
            menu->adjustSize();
            return menu;
        }
    }
    return nullptr;
}

QRect actionGeometry(QWidget *menu, QAction *action)
{
    if (auto *bar = qobject_cast<QMenuBar *>(menu))
        return bar->actionGeometry(action);
    return static_cast<QMenu *>(menu)->actionGeometry(action);
}

// Where the fixtures below put a label: a line with room on both sides.
constexpr int FormWidth = 400;
constexpr int LabelLeft = 140;
constexpr int LabelTop = 40;
constexpr int Margin = 8; // 120 twips, the layouts' margin
const QString LongText = QStringLiteral("Enter your password :");

// A label that grew kept the edge its text is aligned to, or its centre.
void verifyAnchoredEdge(const QRect &box, const QRect &laidOut, Qt::Alignment align)
{
    if (align & Qt::AlignRight)
        QCOMPARE(box.right(), laidOut.right());
    else if (align & Qt::AlignHCenter)
        QCOMPARE(box.center().x(), laidOut.center().x());
    else
        QCOMPARE(box.left(), laidOut.left());
}

} // namespace

Q_DECLARE_METATYPE(Window)

class tst_CaptionFit : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup()
    {
        if (m_disconnect)
            m_disconnect->click();
        m_disconnect.clear();
    }
    void cleanupTestCase() { m_windows.clear(); }
    void captionShowsWhole_data() { addCaptionRows(true); }
    void captionShowsWhole();
    void onlyClippedCaptionsChange_data() { addCaptionRows(false); }
    void onlyClippedCaptionsChange();

    void labelMakesRoomForItsText_data();
    void labelMakesRoomForItsText();
    void buttonAndFrameKeepTheirSize_data();
    void buttonAndFrameKeepTheirSize();
    void laterTextIsGivenRoomToo();

private:
    // The row's window, shown; a main window connected for a row is
    // disconnected when the row ends.
    Windows &shown(Window which)
    {
        const Window window = which == Window::MainConnected ? Window::Main : which;
        std::unique_ptr<Windows> &windows = m_windows[window];
        if (!windows)
            windows = std::make_unique<Windows>(window);
        if (which == Window::MainConnected) {
            windows->main()->btn_Connect->click();
            m_disconnect = windows->main()->btn_Disconnect;
        }
        return *windows;
    }

    std::map<Window, std::unique_ptr<Windows>> m_windows;
    QPointer<QPushButton> m_disconnect;
};

void tst_CaptionFit::initTestCase()
{
    // Which fonts were at hand, for whoever reads the log.
    qInfo("platform %s, dialog font drawn in %s, %g logical DPI, device pixel ratio %g",
          qPrintable(QGuiApplication::platformName()), qPrintable(QFontInfo(platform::DialogFont()).family()),
          QGuiApplication::primaryScreen()->logicalDotsPerInchX(), qApp->devicePixelRatio());
}

void tst_CaptionFit::captionShowsWhole()
{
    QFETCH(Window, window);
    QFETCH(QString, control);
    QFETCH(QString, caption);
    QFETCH(QRect, laidOut);

    Windows &windows = shown(window);
    if (laidOut.isNull()) {
        auto *action = windows.top->findChild<QAction *>(control);
        if (auto *menu = windows.top->findChild<QMenu *>(control))
            action = menu->menuAction();
        QVERIFY2(action, qPrintable(control));
        QCOMPARE(action->text(), caption);
        QWidget *menu = menuShowing(windows.main(), action);
        QVERIFY(menu);
        const QRect item = actionGeometry(menu, action);
        QVERIFY2(menu->rect().contains(item), "the item is not in its menu");
        const QString clipped = menuItemClipping(menu, caption, item);
        QVERIFY2(clipped.isEmpty(), qPrintable(clipped));
        return;
    }

    auto *widget = windows.form->findChild<QWidget *>(control);
    QVERIFY2(widget, qPrintable(control));
    QCOMPARE(captionOf(widget), caption);
    const QString clipped = captionClipping(widget);
    QVERIFY2(clipped.isEmpty(), qPrintable(clipped));

    // It keeps its place: a button or a frame its box, a label its line and
    // the edge its text is aligned to (the centre of centred text).
    auto *label = qobject_cast<QLabel *>(widget);
    if (!label) {
        QCOMPARE(widget->geometry(), laidOut);
        return;
    }
    const QRect box = label->geometry();
    QCOMPARE(box.top(), laidOut.top());
    QCOMPARE(box.height(), laidOut.height());
    QVERIFY(box.width() >= laidOut.width());
    const Qt::Alignment align = label->alignment();
    verifyAnchoredEdge(box, laidOut, align);
    if (QTest::currentTestFailed())
        return;
    const QString over = controlOver(label, windows.form, label->rect());
    QVERIFY2(over.isEmpty(), qPrintable(QStringLiteral("over %1").arg(over)));
}

// A control differs from its layout only where a caption it shows would be
// cut off there: in fonts in which the layouts' captions fit, each window
// looks exactly as laid out.
void tst_CaptionFit::onlyClippedCaptionsChange()
{
    QFETCH(Window, window);
    QFETCH(QString, control);
    QFETCH(QString, caption);
    QFETCH(QString, alsoShows);
    QFETCH(QRect, laidOut);
    QFETCH(qreal, points);

    auto *widget = shown(window).form->findChild<QWidget *>(control);
    QVERIFY2(widget, qPrintable(control));
    if (widget->geometry() == laidOut && qFuzzyCompare(widget->font().pointSizeF(), points))
        return;

    // Laid out again for the check, and given back as it was for the next rows.
    const QRect box = widget->geometry();
    const QFont font = widget->font();
    const auto giveBack = qScopeGuard([&] {
        widget->setGeometry(box);
        widget->setFont(font);
        if (auto *label = qobject_cast<QLabel *>(widget))
            label->setText(caption);
    });
    QFont designed = font;
    designed.setPointSizeF(points);
    widget->setFont(designed);
    widget->setGeometry(laidOut);
    QString clipped = captionClipping(widget);
    if (clipped.isEmpty() && !alsoShows.isEmpty()) {
        QVERIFY(qobject_cast<QLabel *>(widget));
        static_cast<QLabel *>(widget)->setText(alsoShows);
        clipped = captionClipping(widget);
    }
    QVERIFY2(!clipped.isEmpty(), "changed, although its captions fit its box as laid out");
}

// --- The helper on a form of its own

void tst_CaptionFit::labelMakesRoomForItsText_data()
{
    QTest::addColumn<Qt::Alignment>("align");
    QTest::addColumn<int>("widthLacking"); // how much narrower than its text the label is
    QTest::addColumn<int>("roomLeft");     // to the nearest control, or the margin, on its left
    QTest::addColumn<int>("roomRight");    // the same on its right
    QTest::addColumn<bool>("controlsBelow"); // those controls stand a line lower
    QTest::addColumn<bool>("smaller");     // the text only fits in a smaller size

    const Qt::Alignment left = Qt::AlignLeft | Qt::AlignVCenter;
    const Qt::Alignment right = Qt::AlignRight | Qt::AlignVCenter;
    const Qt::Alignment centre = Qt::AlignHCenter | Qt::AlignVCenter;
    QTest::newRow("fits: nothing changes") << left << 0 << 30 << 30 << false << false;
    QTest::newRow("left-aligned: grows to the right") << left << 10 << 2 << 30 << false << false;
    QTest::newRow("right-aligned: grows to the left") << right << 10 << 30 << 2 << false << false;
    QTest::newRow("centred: grows on both sides") << centre << 10 << 30 << 30 << false << false;
    QTest::newRow("centred, room on one side only: smaller") << centre << 10 << 2 << 30 << false << true;
    QTest::newRow("a control too near: smaller") << left << 10 << 30 << 4 << false << true;
    QTest::newRow("controls on another line leave room") << left << 10 << 2 << 2 << true << false;
    QTest::newRow("the container's margin: smaller") << left << 10 << 30 << -4 << false << true;
}

// A label too narrow for its text, between two controls on its line (a room
// of -N on the right means no control there, the label ending N pixels
// inside the container's margin).
void tst_CaptionFit::labelMakesRoomForItsText()
{
    QFETCH(Qt::Alignment, align);
    QFETCH(int, widthLacking);
    QFETCH(int, roomLeft);
    QFETCH(int, roomRight);
    QFETCH(bool, controlsBelow);
    QFETCH(bool, smaller);

    QWidget form;
    form.setFont(platform::DialogFont());
    auto *label = new QLabel(LongText, &form);
    label->setAlignment(align);
    const QSize needed = label->sizeHint();
    const QRect laidOut(LabelLeft, LabelTop, needed.width() - widthLacking, needed.height() + 2);
    label->setGeometry(laidOut);
    const int lineOf = controlsBelow ? laidOut.bottom() + 5 : laidOut.top();
    auto *before = new QLineEdit(&form);
    before->setGeometry(Margin, lineOf, laidOut.left() - roomLeft - Margin, laidOut.height());
    const bool atMargin = roomRight < 0;
    form.resize(atMargin ? laidOut.right() + 1 - roomRight + Margin : FormWidth, 100);
    auto *after = new QLineEdit(&form);
    after->setGeometry(laidOut.right() + 1 + roomRight, lineOf, 40, laidOut.height());
    after->setHidden(atMargin);
    const qreal designPoints = label->font().pointSizeF();

    platform::FitCaptions(&form);

    const QRect box = label->geometry();
    const QString clipped = captionClipping(label);
    QVERIFY2(clipped.isEmpty(), qPrintable(clipped));
    QCOMPARE(box.top(), laidOut.top());
    QCOMPARE(box.height(), laidOut.height());
    if (widthLacking == 0) {
        QCOMPARE(box, laidOut);
        QCOMPARE(label->font().pointSizeF(), designPoints);
        return;
    }
    verifyAnchoredEdge(box, laidOut, align);
    if (QTest::currentTestFailed())
        return;
    QVERIFY2(!box.intersects(before->geometry()) && (after->isHidden() || !box.intersects(after->geometry())),
             "over a control");
    QVERIFY(box.left() >= Margin && box.right() < form.width() - Margin);
    QCOMPARE(label->font().pointSizeF() < designPoints, smaller);
    if (!smaller)
        return;

    // The largest size that fits: one step larger needs more than the widest
    // box the room allows.
    const int spareLeft = laidOut.left() - (controlsBelow ? Margin : before->geometry().right() + 1);
    const int spareRight = (atMargin ? form.width() - Margin : after->x()) - (laidOut.right() + 1);
    QRect widest = laidOut;
    if (align & Qt::AlignHCenter)
        widest.adjust(-std::min(spareLeft, spareRight), 0, std::min(spareLeft, spareRight), 0);
    else
        widest.setRight(laidOut.right() + spareRight);
    QLabel larger(LongText);
    QFont font = label->font();
    font.setPointSizeF(font.pointSizeF() + 0.75);
    larger.setFont(font);
    QVERIFY(larger.sizeHint().width() > widest.width());
}

void tst_CaptionFit::buttonAndFrameKeepTheirSize_data()
{
    QTest::addColumn<bool>("frame");
    QTest::newRow("button") << false;
    QTest::newRow("frame") << true;
}

void tst_CaptionFit::buttonAndFrameKeepTheirSize()
{
    QFETCH(bool, frame);

    QWidget form;
    form.resize(FormWidth, 200);
    form.setFont(platform::DialogFont());
    QWidget *control = nullptr;
    QLabel *inside = nullptr;
    if (frame) {
        auto *box = new QGroupBox(LongText, &form);
        inside = new QLabel(QStringLiteral("1"), box);
        inside->setGeometry(10, 30, 20, 20);
        control = box;
    } else {
        control = new QPushButton(LongText, &form);
    }
    const qreal designPoints = control->font().pointSizeF();
    // A box for a size or two smaller.
    const QRect laidOut(LabelLeft, LabelTop, QFontMetrics(control->font()).horizontalAdvance(LongText) * 85 / 100 + 16,
                        60);
    control->setGeometry(laidOut);

    platform::FitCaptions(&form);

    QCOMPARE(control->geometry(), laidOut);
    QVERIFY(control->font().pointSizeF() < designPoints);
    const QString clipped = captionClipping(control);
    QVERIFY2(clipped.isEmpty(), qPrintable(clipped));
    if (inside)
        QCOMPARE(inside->font().pointSizeF(), designPoints);
}

void tst_CaptionFit::laterTextIsGivenRoomToo()
{
    QWidget form;
    form.resize(FormWidth, 100);
    form.setFont(platform::DialogFont());
    auto *label = new QLabel(QStringLiteral("Enter"), &form);
    label->setGeometry(LabelLeft, LabelTop, label->sizeHint().width() + 2, label->sizeHint().height());

    platform::FitCaptions(&form, {{label, LongText}});

    label->setText(LongText);
    const QString clipped = captionClipping(label);
    QVERIFY2(clipped.isEmpty(), qPrintable(clipped));
    QCOMPARE(label->x(), LabelLeft);
}

QTEST_MAIN(tst_CaptionFit)
#include "tst_caption_fit.moc"
