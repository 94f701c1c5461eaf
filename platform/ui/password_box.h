#pragma once

class QLineEdit;

namespace platform {

// A single-line box that shows one filled circle per typed character and no
// text, with input methods off so that nothing typed is shown or remembered.
void MakePasswordBox(QLineEdit *box);

// The character the box shows for each typed one.
inline constexpr char16_t PasswordMaskCharacter = u'\u25CF';

} // namespace platform
