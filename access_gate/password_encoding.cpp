#include "password_encoding.h"

#include "random_source.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace {

constexpr int SelectorCount = 52;
// Past 4 digits without its leading zeros a number is 10000 or more, and every
// formula inverts that to a figure of 2497 or more: a fraction, or a code of
// 512 or more.
constexpr std::size_t MostSignificantDigits = 4;
constexpr int HighestCode = 255;

char SelectorLetter(int selector)
{
    selector = std::clamp(selector, 1, SelectorCount);
    return static_cast<char>(selector <= 26 ? selector + 64 : selector + 70);
}

int SelectorOfCode(unsigned char code)
{
    return code >= 97 ? code - 70 : code - 64;
}

// The octal digits of the code read as a decimal number: 97 is octal 141, so 141.
int OctalFigure(unsigned char code)
{
    return (code / 64) * 100 + (code / 8 % 8) * 10 + code % 8;
}

// Both directions keep the nested order in double precision; for whole figures
// every step is an exact multiple of 1/4, so the reader inverts the writer exactly.
double WriterFigure(int formula, double o)
{
    switch (formula) {
    case 0: return ((o * 4 + 12) / 2 - 3) * 2 + 5;
    case 1: return ((o * 2 + 10) / 4 - 3) * 2 + 5;
    case 2: return ((o * 2 + 20) / 4 - 3) * 2 + 7;
    case 3: return ((o * 2 + 4) / 4 - 3) * 4 - 25;
    case 4: return ((o * 8 + 4) / 4 - 3) * 2 - 7;
    case 5: return ((o * 4 + 4) / 4 - 3) * 4 - 88;
    case 6: return ((o * 2 + 14) / 2 - 3) * 2 - 24;
    case 7: return ((o * 2 + 4) / 4 - 3) * 2 + 3;
    case 8: return ((o * 4 - 8) / 2 - 3) * 2 + 1;
    default: return ((o * 2 - 6) / 2 - 3) * 4 + 8;
    }
}

double ReaderFigure(int formula, double n)
{
    switch (formula) {
    case 0: return (((n - 5) / 2 + 3) * 2 - 12) / 4;
    case 1: return (((n - 5) / 2 + 3) * 4 - 10) / 2;
    case 2: return (((n - 7) / 2 + 3) * 4 - 20) / 2;
    case 3: return (((n + 25) / 4 + 3) * 4 - 4) / 2;
    case 4: return (((n + 7) / 2 + 3) * 4 - 4) / 8;
    case 5: return (((n + 88) / 4 + 3) * 4 - 4) / 4;
    case 6: return (((n + 24) / 2 + 3) * 2 - 14) / 2;
    case 7: return (((n - 3) / 2 + 3) * 4 - 4) / 2;
    case 8: return (((n - 1) / 2 + 3) * 2 + 8) / 4;
    default: return (((n - 8) / 4 + 3) * 2 + 6) / 2;
    }
}

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

// The character code a group of digits gives under a formula; none when the
// figure has a fraction or a sign, or its code is above 255.
std::optional<unsigned char> CharacterCode(int formula, std::string_view digits)
{
    digits.remove_prefix(std::min(digits.find_first_not_of('0'), digits.size()));
    if (digits.size() > MostSignificantDigits)
        return std::nullopt;
    int number = 0;
    std::from_chars(digits.data(), digits.data() + digits.size(), number);
    const double octal = ReaderFigure(formula, number);
    if (octal < 0 || std::floor(octal) != octal)
        return std::nullopt;
    const std::string decimal = ConvertOctalToDecimal(std::to_string(static_cast<long long>(octal)));
    int code = 0;
    std::from_chars(decimal.data(), decimal.data() + decimal.size(), code);
    if (code > HighestCode)
        return std::nullopt;
    return static_cast<unsigned char>(code);
}

int RandomSelector()
{
    const double s = std::floor(static_cast<double>(RandomUnit()) * SelectorCount + 1);
    return static_cast<int>(std::clamp(s, 1.0, static_cast<double>(SelectorCount)));
}

} // namespace

std::string EncodePassword(std::string_view password)
{
    return EncodePassword(password, RandomSelector);
}

std::string EncodePassword(std::string_view password, const std::function<int()> &drawSelector)
{
    std::string stored;
    stored.reserve(1 + password.size() * 5);
    stored += SelectorLetter(drawSelector());
    for (const char c : password) {
        const int octal = OctalFigure(static_cast<unsigned char>(c));
        const int selector = std::clamp(drawSelector(), 1, SelectorCount);
        const double figure = WriterFigure(selector % 10, octal);
        stored += std::to_string(static_cast<long long>(figure));
        stored += SelectorLetter(selector);
    }
    return stored;
}

std::optional<std::string> DecodePassword(std::string_view stored)
{
    const std::size_t n = stored.size();
    if (n > LongestStoredText)
        return std::nullopt;

    std::string password;
    // Zero-based index of the character before the next group; the lead letter is never read.
    std::size_t i = 0;
    while (i + 1 < n) {
        std::size_t count = 0;
        while (i + 1 + count < n && IsDigit(stored[i + 1 + count]))
            ++count;
        if (count > 0) {
            if (i + 1 + count >= n)
                return std::nullopt;
            const int selector = SelectorOfCode(static_cast<unsigned char>(stored[i + 1 + count]));
            const int formula = selector % 10;
            // A negative remainder adds nothing, however long the number.
            if (formula >= 0) {
                const std::optional<unsigned char> code = CharacterCode(formula, stored.substr(i + 1, count));
                if (!code)
                    return std::nullopt;
                password += static_cast<char>(*code);
            }
        }
        i += count + 1;
    }
    return password;
}

std::string ConvertOctalToDecimal(std::string_view BinVal)
{
    double sum = 0;
    const std::size_t n = BinVal.size();
    for (std::size_t k = 0; k < n; ++k) {
        const char c = BinVal[n - 1 - k];
        // Zero digits are skipped: far out, 8^k is infinite and 0 times it is not a number.
        if (!IsDigit(c) || c == '0')
            continue;
        if (k > 400)
            return std::string();
        sum += std::ldexp(static_cast<double>(c - '0'), static_cast<int>(3 * k));
    }
    if (std::isinf(sum))
        return std::string();
    // The sum is always whole; %.0f writes it in full, without exponent.
    std::array<char, 400> text{};
    std::snprintf(text.data(), text.size(), "%.0f", sum);
    return std::string(text.data());
}
