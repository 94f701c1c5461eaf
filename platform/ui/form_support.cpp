#include "platform/ui/form_support.h"

#include "platform/ui/twips.h"

#include <QEvent>
#include <QFontDatabase>
#include <QFontInfo>
#include <QKeyEvent>
#include <QScreen>
#include <QStringList>
#include <QWidget>

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

} // namespace platform
