#include "frm_PasswordDialog.h"

#include "access_gate/password_encoding.h"
#include "gate_texts.h"
#include "password_dialog_layout.h"
#include "app_settings/settings_keys.h"
#include "platform/settings/settings_store.h"
#include "platform/ui/single_byte_text.h"
#include "platform/ui/caption_fit.h"
#include "platform/ui/form_support.h"
#include "platform/ui/message_box.h"
#include "platform/ui/password_box.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace layout = password_dialog_layout;
namespace texts = gate_texts;
using platform::MessageIcon;

frm_PasswordDialog::frm_PasswordDialog(platform::MessageBoxes &messages,
                                       std::function<QWidget *()> createMainWindow, QWidget *parent)
    : QDialog(parent)
    , m_messages(messages)
    , m_createMainWindow(std::move(createMainWindow))
{
    setAttribute(Qt::WA_DeleteOnClose);
    setObjectName(QStringLiteral("frm_PasswordDialog"));
    setWindowTitle(texts::Caption);
    platform::SetUpPasswordWindow(this, layout::ClientWidth, layout::ClientHeight);
    createControls();
    txt_Password->setFocus();
}

void frm_PasswordDialog::createControls()
{
    txt_Password = new QLineEdit(this);
    txt_Password->setObjectName(QStringLiteral("txt_Password"));
    txt_Password->setGeometry(layout::txt_Password.toPixels());
    platform::MakePasswordBox(txt_Password);

    btn_OK = new QPushButton(texts::OK, this);
    btn_OK->setObjectName(QStringLiteral("btn_OK"));
    btn_OK->setGeometry(layout::btn_OK.toPixels());
    btn_OK->setDefault(true);
    connect(btn_OK, &QPushButton::clicked, this, &frm_PasswordDialog::btn_OK_Click);

    btn_Cancel = new QPushButton(texts::Cancel, this);
    btn_Cancel->setObjectName(QStringLiteral("btn_Cancel"));
    btn_Cancel->setGeometry(layout::btn_Cancel.toPixels());
    // With the focus on it, Enter clicks Cancel, as on Windows; OK stays the
    // default for the password box.
    btn_Cancel->setAutoDefault(true);
    connect(btn_Cancel, &QPushButton::clicked, this, &frm_PasswordDialog::btn_Cancel_Click);

    lbl_Password = new QLabel(texts::PasswordLabel, this);
    lbl_Password->setObjectName(QStringLiteral("lbl_Password"));
    lbl_Password->setGeometry(layout::lbl_Password.toPixels());
    // Names the box for assistive tools; the label has no access key, so no
    // key is bound by it.
    lbl_Password->setBuddy(txt_Password);

    QWidget::setTabOrder(txt_Password, btn_OK);
    QWidget::setTabOrder(btn_OK, btn_Cancel);
    platform::FitCaptions(this);
}

void frm_PasswordDialog::btn_OK_Click()
{
    const QString stored = platform::SettingsStore::read(settings_keys::Application, settings_keys::SectionGeneral,
                                                         settings_keys::Password, settings_keys::PasswordMissing);
    if (stored == settings_keys::PasswordMissing) {
        refuseUnregistered();
        return;
    }
    // A stored text that cannot be read counts as none stored: the instructor
    // is sent to set the password again rather than refused for ever.
    const std::optional<std::string> codes = platform::ToSingleByteCodes(stored);
    const std::optional<std::string> password = codes ? DecodePassword(*codes) : std::nullopt;
    if (!password) {
        refuseUnregistered();
        return;
    }

    if (txt_Password->text() == platform::FromSingleByteCodes(*password)) {
        if (!m_mainWindow)
            m_mainWindow = m_createMainWindow();
        m_mainWindow->show();
        close();
        return;
    }
    m_messages.show(this, texts::InvalidText, texts::InvalidTitle, MessageIcon::Stop);
    txt_Password->clear();
    txt_Password->setFocus();
}

void frm_PasswordDialog::btn_Cancel_Click()
{
    close();
}

void frm_PasswordDialog::refuseUnregistered()
{
    m_messages.show(this, texts::NotRegisteredText, texts::NotRegisteredTitle, MessageIcon::Stop);
    close();
}
