#include "platform/ui/message_box.h"

#include <QFontMetrics>
#include <QMessageBox>
#include <QScreen>

namespace platform {

namespace {

// Qt widens a message box for its title up to this on Windows, and a title
// bar has its buttons at one end.
int titleRoom(const QWidget *box)
{
    const QScreen *screen = box->screen();
    const int screenWidth = screen ? screen->availableGeometry().width() : 1024;
    constexpr int TitleBarButtons = 120;
    return qMax(200, qMin(screenWidth - 480, 1000) - TitleBarButtons);
}

} // namespace

QString TitleThatFits(const QString &title, const QFontMetrics &metrics, int width)
{
    if (metrics.horizontalAdvance(title) <= width)
        return title;
    const QString ellipsis(QChar(0x2026));
    QString kept = title;
    for (;;) {
        const qsizetype blank = kept.lastIndexOf(u' ');
        if (blank <= 0)
            // One word too long for the bar: cut within it after all.
            return metrics.elidedText(title, Qt::ElideRight, width);
        kept = kept.left(blank);
        while (kept.endsWith(u' ') || kept.endsWith(u',') || kept.endsWith(u':') || kept.endsWith(u';'))
            kept.chop(1);
        if (metrics.horizontalAdvance(kept + ellipsis) <= width)
            return kept + ellipsis;
    }
}

void QtMessageBoxes::show(QWidget *parent, const QString &text, const QString &title, MessageIcon icon)
{
    QMessageBox::Icon qtIcon = QMessageBox::Warning;
    switch (icon) {
    case MessageIcon::Exclamation:
        qtIcon = QMessageBox::Warning;
        break;
    case MessageIcon::Stop:
        qtIcon = QMessageBox::Critical;
        break;
    case MessageIcon::Information:
        qtIcon = QMessageBox::Information;
        break;
    }
    // The texts break their lines with CR LF; Qt's plain text wants LF alone.
    QString shown = text;
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    QMessageBox box(qtIcon, QString(), shown, QMessageBox::Ok, parent);
    box.setTextFormat(Qt::PlainText);
    const QString fitted = TitleThatFits(title, box.fontMetrics(), titleRoom(&box));
    box.setWindowTitle(fitted);
    if (fitted != title)
        box.setAccessibleDescription(title); // a screen reader still tells it whole
    box.exec();
}

} // namespace platform
