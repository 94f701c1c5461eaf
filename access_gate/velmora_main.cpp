// Velmora starts with the authentication dialog; the dialog opens the main window.
#include "frm_PasswordDialog.h"
#include "app_settings/port_mapping.h"
#include "app_settings/settings_keys.h"
#include "product_info.h"
#include "platform/serial/serial_comm_control.h"
#include "platform/ui/app_icon.h"
#include "platform/ui/form_support.h"
#include "platform/ui/message_box.h"
#include "platform/ui/session_end.h"
#include "trainer_panel/frm_FaultsAndMods.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QString::fromLatin1(product_info::VelmoraName));
    QApplication::setApplicationVersion(QString::fromLatin1(product_info::VelmoraVersion));
    QGuiApplication::setDesktopFileName(QStringLiteral("velmora"));
    QApplication::setWindowIcon(platform::ApplicationIcon());
    QApplication::setFont(platform::DialogFont()); // message boxes too

    platform::CloseWindowsWhenSessionEnds();

    platform::QtMessageBoxes messages;
    auto *dialog = new frm_PasswordDialog(messages, [&messages]() -> QWidget * {
        return new frm_FaultsAndMods(platform::CreateSerialCommControl(ResolveComPort), messages);
    });
    dialog->show();
    return app.exec();
}
