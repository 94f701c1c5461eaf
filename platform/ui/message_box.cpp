#include "platform/ui/message_box.h"

#include <QFontMetrics>
#include <QGridLayout>
#include <QMessageBox>
#include <QScreen>
#include <QSpacerItem>

namespace platform {

namespace {

// What a title bar keeps for its icon and buttons.
constexpr int TitleBarButtons = 120;

// A title carries the reason of a failure, so the box is made wide enough to
// show it, as Qt does on Windows, up to most of the screen: the room its
// title then has.
int widenForTitle(QMessageBox &box, const QString &title, const QFontMetrics &metrics)
{
    const QScreen *screen = box.screen();
    const int screenWidth = screen ? screen->availableGeometry().width() : 1024;
    const int widest = qMax(300, qMin(screenWidth * 4 / 5, 900));
    const int wanted = qMin(widest, metrics.horizontalAdvance(title) + TitleBarButtons);
    // QMessageBox sizes itself from its layout: a spacer across it sets the least width.
    if (auto *grid = qobject_cast<QGridLayout *>(box.layout()))
        grid->addItem(new QSpacerItem(wanted, 0, QSizePolicy::Minimum, QSizePolicy::Minimum), grid->rowCount(), 0, 1,
                      grid->columnCount());
    return wanted - TitleBarButtons;
}

// Title bars often draw in bold: measured so, the cut errs on the safe side.
QFontMetrics titleMetrics(const QWidget &box)
{
    QFont font = box.font();
    font.setBold(true);
    return QFontMetrics(font);
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
    QMessageBox box(qtIcon, title, shown, QMessageBox::Ok, parent);
    box.setTextFormat(Qt::PlainText);
    const QFontMetrics metrics = titleMetrics(box);
    const QString fitted = TitleThatFits(title, metrics, widenForTitle(box, title, metrics));
    box.setWindowTitle(fitted);
    if (fitted != title)
        box.setAccessibleDescription(title); // a screen reader still tells it whole
    box.exec();
}

} // namespace platform
