#pragma once

#include <QDialog>
#include <functional>

class QLabel;
class QLineEdit;
class QPushButton;

namespace platform {
class MessageBoxes;
}

// Velmora's start-up window: asks for the administrator password and opens the
// main window only for the right one. Every OK reads the stored password
// afresh, so one set meanwhile by the password utility counts at once.
class frm_PasswordDialog : public QDialog
{
    Q_OBJECT

public:
    // createMainWindow builds the main window; the dialog shows it.
    frm_PasswordDialog(platform::MessageBoxes &messages, std::function<QWidget *()> createMainWindow,
                       QWidget *parent = nullptr);

    QLineEdit *txt_Password = nullptr;
    QPushButton *btn_OK = nullptr;
    QPushButton *btn_Cancel = nullptr;
    QLabel *lbl_Password = nullptr;

public slots:
    void btn_OK_Click();
    void btn_Cancel_Click();

private:
    void createControls();
    void refuseUnregistered();

    platform::MessageBoxes &m_messages;
    std::function<QWidget *()> m_createMainWindow;
    QWidget *m_mainWindow = nullptr;
};
