#pragma once

#include <QString>

#include <optional>
#include <string>
#include <string_view>

// The window's text and the password encoding's single-byte codes 0 to 255.
// On Windows the codes are those of the system's ANSI code page (Windows-1252
// when that page is not a single-byte one); elsewhere always Windows-1252, so a
// stored password reads the same on every system.
namespace platform {

// One code per UTF-16 unit; the empty optional when a character has no
// single-byte code (U+0100 and up other than the Windows-1252 punctuation,
// U+0080 to U+009F other than the five bytes that code page leaves undefined,
// surrogates).
std::optional<std::string> ToSingleByteCodes(const QString &text);

// One character per code; the inverse of ToSingleByteCodes.
QString FromSingleByteCodes(std::string_view codes);

} // namespace platform
