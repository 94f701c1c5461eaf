// The yardstick for Velmora's start-up: the least a Qt Widgets program needs to
// show a dialog like its first one, a line edit and two buttons.
#include <QApplication>
#include <QDialog>
#include <QLineEdit>
#include <QPushButton>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QDialog dialog;
    dialog.setWindowTitle(QStringLiteral("Minimal"));
    dialog.setFixedSize(264, 84);
    auto *text = new QLineEdit(&dialog);
    text->setGeometry(144, 24, 105, 18);
    auto *ok = new QPushButton(QStringLiteral("OK"), &dialog);
    ok->setGeometry(64, 56, 65, 21);
    auto *cancel = new QPushButton(QStringLiteral("Cancel"), &dialog);
    cancel->setGeometry(136, 56, 65, 21);
    dialog.show();
    return app.exec();
}
