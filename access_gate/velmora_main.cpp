// Velmora starts with the authentication dialog; the dialog opens the main window.
#include "frm_PasswordDialog.h"
#include "platform/app_icon.h"
#include "platform/form_support.h"
#include "platform/message_box.h"
#include "platform/session_end.h"
#include "platform/serial_comm_control.h"
#include "trainer_panel/frm_FaultsAndMods.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Velmora"));
    QApplication::setApplicationVersion(QStringLiteral(VELMORA_VERSION));
    QGuiApplication::setDesktopFileName(QStringLiteral("velmora"));
    QApplication::setWindowIcon(platform::ApplicationIcon());
    QApplication::setFont(platform::DialogFont()); // message boxes too

    platform::CloseWindowsWhenSessionEnds();

    platform::QtMessageBoxes messages;
    auto *dialog = new frm_PasswordDialog(messages, [&messages]() -> QWidget * {
        return new frm_FaultsAndMods(platform::CreateSerialCommControl(), messages);
    });
    dialog->show();
    return app.exec();
}
