#include "frm_Login.h"

#include "access_gate/password_encoding.h"
#include "login_layout.h"
#include "login_texts.h"
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
#include <algorithm>

namespace layout = login_layout;
namespace texts = login_texts;
using platform::MessageIcon;

namespace {

// Codes below 32 (a pasted tab, say) cannot be typed at Velmora's prompt, and
// a character without a single-byte code cannot be encoded at all.
bool canBeStored(const std::optional<std::string> &codes)
{
    return codes && std::none_of(codes->begin(), codes->end(),
                                 [](char c) { return static_cast<unsigned char>(c) < 32; });
}

} // namespace

frm_Login::frm_Login(platform::MessageBoxes &messages, QWidget *parent)
    : QDialog(parent)
    , m_messages(messages)
{
    setAttribute(Qt::WA_DeleteOnClose);
    setObjectName(QStringLiteral("frm_Login"));
    setWindowTitle(texts::Caption);
    platform::SetUpPasswordWindow(this, layout::ClientWidth, layout::ClientHeight);
    createControls();
    txt_Password->setFocus();
}

void frm_Login::createControls()
{
    const auto passwordBox = [this](const char *name, const platform::TwipsRect &rect) {
        auto *box = new QLineEdit(this);
        box->setObjectName(QLatin1String(name));
        box->setGeometry(rect.toPixels());
        box->setMaxLength(layout::MaxPasswordLength);
        platform::MakePasswordBox(box);
        return box;
    };
    const auto label = [this](const char *name, const QString &text, const platform::TwipsRect &rect) {
        auto *created = new QLabel(text, this);
        created->setObjectName(QLatin1String(name));
        created->setGeometry(rect.toPixels());
        return created;
    };

    txt_Password = passwordBox("txt_Password", layout::txt_Password);
    btn_OK = new QPushButton(texts::OK, this);
    btn_OK->setObjectName(QStringLiteral("btn_OK"));
    btn_OK->setGeometry(layout::btn_OK.toPixels());
    btn_OK->setDefault(true);
    connect(btn_OK, &QPushButton::clicked, this, &frm_Login::btn_OK_Click);
    txt_PasswordConfirmation = passwordBox("txt_PasswordConfirmation", layout::txt_PasswordConfirmation);
    Label2 = label("Label2", texts::LengthRule, layout::Label2);
    Label1 = label("Label1", texts::Intro, layout::Label1);
    Label1->setWordWrap(true);
    Label1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    lbl_Password = label("lbl_Password", texts::PasswordLabel, layout::lbl_Password);
    lbl_PasswordConfirmation = label("lbl_PasswordConfirmation", texts::ConfirmationLabel,
                                     layout::lbl_PasswordConfirmation);
    // Names each box for assistive tools; no label has an access key, so no
    // key is bound by them.
    lbl_Password->setBuddy(txt_Password);
    lbl_PasswordConfirmation->setBuddy(txt_PasswordConfirmation);

    QWidget::setTabOrder(txt_Password, txt_PasswordConfirmation);
    QWidget::setTabOrder(txt_PasswordConfirmation, btn_OK);
    platform::FitCaptions(this);
}

void frm_Login::btn_OK_Click()
{
    const QString password = txt_Password->text();
    const QString confirmation = txt_PasswordConfirmation->text();

    if (password != confirmation) {
        m_messages.show(this, texts::MismatchText, texts::InvalidTitle, MessageIcon::Exclamation);
        txt_PasswordConfirmation->clear();
        txt_PasswordConfirmation->setFocus();
        return;
    }
    if (password.size() < layout::MinPasswordLength) {
        refuse(texts::TooShortText);
        return;
    }
    const std::optional<std::string> codes = platform::ToSingleByteCodes(password);
    if (!canBeStored(codes)) {
        refuse(texts::UnstorableText);
        return;
    }
    const std::string encoded = EncodePassword(*codes);
    // Velmora reads stored texts up to this length only; a longer one would lock it out.
    if (encoded.size() > LongestStoredText) {
        refuse(texts::TooLongText);
        return;
    }
    if (!platform::SettingsStore::write(settings_keys::Application, settings_keys::SectionGeneral,
                                        settings_keys::Password, QString::fromLatin1(encoded))) {
        m_messages.show(this, texts::NotSavedText, texts::NotSavedTitle, MessageIcon::Exclamation);
        return;
    }
    m_messages.show(this, texts::AcceptedText, texts::AcceptedTitle, MessageIcon::Information);
    close();
}

// Both boxes emptied, the focus back in the first.
void frm_Login::refuse(const QString &text)
{
    m_messages.show(this, text, texts::InvalidTitle, MessageIcon::Exclamation);
    txt_Password->clear();
    txt_PasswordConfirmation->clear();
    txt_Password->setFocus();
}
