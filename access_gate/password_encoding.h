#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

// Standard C++ only: both programs build this in, and the stored text it makes
// must read the same everywhere. Passwords are byte strings of single-byte
// character codes 0 to 255.
//
// Stored text: a lead letter that carries nothing, then for each character its
// code in octal, read as a decimal figure, passed through one of ten formulas
// and written in decimal, followed by the letter that names the formula.

// The longest stored text that DecodePassword reads: positions are counted in
// signed 16 bits. A writer must not store a longer one.
inline constexpr std::size_t LongestStoredText = 32767;

// Draws each selector from RandomUnit(), so one password gives a
// different stored text almost every time.
std::string EncodePassword(std::string_view password);

// drawSelector yields 1 to 52 and is called once for the lead letter and then
// once per character, in order; a value outside is taken as the nearer end.
std::string EncodePassword(std::string_view password, const std::function<int()> &drawSelector);

// The password a stored text encodes. A letter with no number before it, and a
// number of any length ended by a character whose selector has a negative
// remainder, add nothing; leading zeros of a number count for nothing. The
// empty optional when the text cannot be read: it ends in digits, a number
// does not invert to a whole figure of 0 or more, a figure's code is above
// 255, or the text is longer than 32,767.
std::optional<std::string> DecodePassword(std::string_view stored);

// The value of the digits taken in base 8, as decimal text: "141" gives "97".
// "8" and "9" are weighted like any digit ("19" gives "17"), any other
// character weighs 0, the empty text gives "0". Summed in double precision, so
// values above 2^53 are rounded; the empty text when the value exceeds the
// double range (a non-zero digit 342 or more places from the right).
std::string ConvertOctalToDecimal(std::string_view BinVal);
