#pragma once

#include "platform/ui/message_box.h"

#include <QDialog>

class QLabel;
class QLineEdit;
class QPushButton;

// The password utility's one window: the new password typed twice, checked,
// encoded and written to the settings store, where Velmora reads it.
class frm_Login : public QDialog
{
    Q_OBJECT

public:
    explicit frm_Login(platform::MessageBoxes &messages, QWidget *parent = nullptr);

    QLineEdit *txt_Password = nullptr;
    QPushButton *btn_OK = nullptr;
    QLineEdit *txt_PasswordConfirmation = nullptr;
    QLabel *Label2 = nullptr;
    QLabel *Label1 = nullptr;
    QLabel *lbl_Password = nullptr;
    QLabel *lbl_PasswordConfirmation = nullptr;

public slots:
    void btn_OK_Click();

private:
    void createControls();
    void refuse(const QString &text);

    platform::MessageBoxes &m_messages;
};
