#include "platform/ui/form_support.h"

#include "platform/ui/twips.h"

#include <QEvent>
#include <QEventLoopLocker>
#include <QFontDatabase>
#include <QFontInfo>
#include <QKeyEvent>
#include <QScreen>
#include <QStringList>
#include <QWidget>

#include <memory>

namespace platform {

namespace {

const QString DialogFontFamily = QStringLiteral("MS Sans Serif");
constexpr qreal DialogFontPoints = 8.25;

bool isInstalled(const QString &family)
{
    QFont font(family);
    return QFontInfo(font).family().compare(family, Qt::CaseInsensitive) == 0;
}

// Fonts drawn to the same widths as the classic dialog font.
QStringList substitutes(const QString &family)
{
    if (family.compare(DialogFontFamily, Qt::CaseInsensitive) == 0)
        return {QStringLiteral("Microsoft Sans Serif"), QStringLiteral("Arial"),
                QStringLiteral("Liberation Sans")};
    return {};
}

} // namespace

QFont DesignFont(const QString &family, qreal pointSize, bool bold)
{
    QFont font(family);
    if (!isInstalled(family)) {
        font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
        font.setStyleHint(QFont::SansSerif);
        for (const QString &substitute : substitutes(family)) {
            if (isInstalled(substitute)) {
                font = QFont(substitute);
                break;
            }
        }
    }
    font.setPointSizeF(pointSize);
    font.setBold(bold);
    return font;
}

QFont DialogFont()
{
    return DesignFont(DialogFontFamily, DialogFontPoints, false);
}

namespace {

// Centres the window at its first Show, then leaves it where the user puts it.
class CentreAtFirstShow final : public QObject
{
public:
    using QObject::QObject;

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Show) {
            auto *window = static_cast<QWidget *>(watched);
            if (QScreen *screen = window->screen()) {
                QRect frame = window->frameGeometry();
                frame.moveCenter(screen->availableGeometry().center());
                window->move(frame.topLeft());
            }
            deleteLater();
        }
        return false;
    }
};

class SwallowEscape final : public QObject
{
public:
    using QObject::QObject;

    bool eventFilter(QObject *, QEvent *event) override
    {
        return event->type() == QEvent::KeyPress
            && static_cast<QKeyEvent *>(event)->key() == Qt::Key_Escape;
    }
};

} // namespace

void SetUpFixedWindow(QWidget *window)
{
    window->setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint
                           | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint
                           | Qt::MSWindowsFixedSizeDialogHint);
    window->setFont(DialogFont());
    window->installEventFilter(new CentreAtFirstShow(window));
}

void SetUpPasswordWindow(QWidget *window, int clientWidthTwips, int clientHeightTwips)
{
    SetUpFixedWindow(window);
    IgnoreEscapeKey(window);
    KeepOffTaskbar(window);
    window->setFixedSize(TwipsToPixels(clientWidthTwips), TwipsToPixels(clientHeightTwips));
}

void IgnoreEscapeKey(QWidget *window)
{
    window->installEventFilter(new SwallowEscape(window));
}

namespace {

// Keeps the program running while the window is shown, as Qt does for a
// window without an owner: when the last hold goes and no such window is
// shown, the program's event loop ends. Minimising (a spontaneous hide)
// keeps the hold.
class HoldProgramWhileShown final : public QObject
{
public:
    using QObject::QObject;

    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Show && !m_hold)
            m_hold = std::make_unique<QEventLoopLocker>();
        else if (event->type() == QEvent::Hide && !event->spontaneous())
            m_hold.reset();
        return false;
    }

private:
    std::unique_ptr<QEventLoopLocker> m_hold;
};

} // namespace

void KeepOffTaskbar(QWidget *window)
{
#ifdef Q_OS_WIN
    GiveHiddenOwner(window);
#else
    Q_UNUSED(window);
#endif
}

void GiveHiddenOwner(QWidget *window)
{
    // A window with an owner gets no taskbar button; the owner is never shown
    // and lives as long as the program.
    static QWidget *owner = [] {
        auto *hidden = new QWidget;
        hidden->winId();
        return hidden;
    }();
    if (window->parentWidget() == owner)
        return;
    window->setParent(owner, window->windowFlags());
    // A child of the window, so the hold goes with it too.
    window->installEventFilter(new HoldProgramWhileShown(window));
}

} // namespace platform
