#include "platform/ui/password_box.h"

#include <QLineEdit>

namespace platform {

void MakePasswordBox(QLineEdit *box)
{
    box->setEchoMode(QLineEdit::Password);
    box->setAttribute(Qt::WA_InputMethodEnabled, false);
    box->setInputMethodHints(Qt::ImhHiddenText | Qt::ImhSensitiveData | Qt::ImhNoPredictiveText
                             | Qt::ImhNoAutoUppercase);
    // The same circle whatever the style would pick.
    box->setStyleSheet(QStringLiteral("QLineEdit { lineedit-password-character: %1; }")
                           .arg(static_cast<int>(PasswordMaskCharacter)));
}

} // namespace platform
