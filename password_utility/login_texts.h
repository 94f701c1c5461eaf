#pragma once

#include "product_info.h"

#include <QString>

// Captions and messages of the password utility.
namespace login_texts {

inline const QString ProductTitle = QString::fromLatin1(product_info::PasswordUtilityName);
inline const QString Version = QString::fromLatin1(product_info::PasswordUtilityVersion);

inline const QString Caption = QStringLiteral("Velmora Password");
inline const QString OK = QStringLiteral("OK");
inline const QString Intro = QStringLiteral(
    "Enter a password that will be used to allow a secure access to the Velmora software.");
inline const QString LengthRule = QStringLiteral("The password must be of at least 6 characters long.");
inline const QString PasswordLabel = QStringLiteral("Password :");
inline const QString ConfirmationLabel = QStringLiteral("Confirm Password :");

inline const QString InvalidTitle = QStringLiteral("Invalid password");
inline const QString MismatchText = QStringLiteral("The password confirmation is different than the password.");
inline const QString TooShortText = QStringLiteral("The password you entered doesn't have at least 6 characters.");
inline const QString UnstorableText = QStringLiteral(
    "The password contains a character that cannot be stored.  Please use letters, digits, spaces and "
    "punctuation only.");
inline const QString TooLongText = QStringLiteral(
    "The password is too long to be stored.  Please use a shorter password.");
inline const QString AcceptedTitle = QStringLiteral("Password Accepted");
inline const QString AcceptedText = QStringLiteral("The password has been correctly set.");
inline const QString NotSavedTitle = QStringLiteral("Password not saved");
inline const QString NotSavedText = QStringLiteral(
    "The password could not be saved.  Please check that your settings can be written, then try again.");

} // namespace login_texts
