#include "platform/ui/message_box.h"

#include <QMessageBox>

namespace platform {

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
    box.exec();
}

} // namespace platform
