#pragma once

#include <QString>

// Captions and messages of the authentication dialog.
namespace gate_texts {

inline const QString Caption = QStringLiteral("Authentication");
inline const QString PasswordLabel = QStringLiteral("Enter your password :");
inline const QString OK = QStringLiteral("OK");
inline const QString Cancel = QStringLiteral("Cancel");

inline const QString NotRegisteredTitle = QStringLiteral("Password not registered correctly");
inline const QString NotRegisteredText = QStringLiteral("Your password has not been registered.  Please re-install the ")
    + QStringLiteral("application") + QStringLiteral("\r\n") + QStringLiteral("and make sure your administrative ")
    + QStringLiteral("password is registered correctly.");
inline const QString InvalidTitle = QStringLiteral("Invalid password");
inline const QString InvalidText = QStringLiteral("The password entered is invalid.");

} // namespace gate_texts
