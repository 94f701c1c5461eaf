// VelmoraPassword: sets the administrator password that Velmora asks for.
#include "frm_Login.h"
#include "login_texts.h"
#include "platform/ui/app_icon.h"
#include "platform/ui/form_support.h"
#include "platform/ui/message_box.h"
#include "platform/ui/session_end.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    // Not the display name: Qt would append that to the window's caption.
    QApplication::setApplicationName(login_texts::ProductTitle);
    QApplication::setApplicationVersion(login_texts::Version);
    QGuiApplication::setDesktopFileName(QStringLiteral("velmora-password"));
    QApplication::setWindowIcon(platform::ApplicationIcon());
    QApplication::setFont(platform::DialogFont()); // message boxes too

    platform::CloseWindowsWhenSessionEnds();

    platform::QtMessageBoxes messages;
    auto *window = new frm_Login(messages);
    window->show();
    return app.exec();
}
