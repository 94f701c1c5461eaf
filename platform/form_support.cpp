#include "form_support.h"

#include <QFontDatabase>
#include <QFontInfo>
#include <QGuiApplication>
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

void MakeFixedWindow(QWidget *window)
{
    window->setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint
                           | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint
                           | Qt::MSWindowsFixedSizeDialogHint);
}

void CentreOnScreen(QWidget *window)
{
    QScreen *screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen();
    if (!screen)
        return;
    QRect frame = window->frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    window->move(frame.topLeft());
}

} // namespace platform
