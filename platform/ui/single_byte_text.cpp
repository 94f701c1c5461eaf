#include "platform/ui/single_byte_text.h"

#include <array>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace platform {

namespace {

// Characters of the bytes 0x80 to 0x9F in Windows-1252; the rest of the page is
// the same as Latin-1. The five bytes it leaves undefined stand for the C1
// control characters of the same number, as Windows maps them.
constexpr std::array<char16_t, 32> Windows1252High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, //
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F, //
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, //
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178, //
};

std::optional<unsigned char> Windows1252Code(char16_t unit)
{
    if (unit < 0x80 || (unit >= 0xA0 && unit <= 0xFF))
        return static_cast<unsigned char>(unit);
    for (std::size_t i = 0; i < Windows1252High.size(); ++i) {
        if (Windows1252High[i] == unit)
            return static_cast<unsigned char>(0x80 + i);
    }
    return std::nullopt;
}

char16_t Windows1252Character(unsigned char code)
{
    if (code >= 0x80 && code < 0xA0)
        return Windows1252High[code - 0x80];
    return code;
}

#ifdef Q_OS_WIN
// Multi-byte ANSI pages (UTF-8, East Asian) have no single-byte code for most
// characters; Windows-1252 stands in for them.
bool AnsiPageIsSingleByte()
{
    static const bool singleByte = [] {
        CPINFO info{};
        return GetCPInfo(CP_ACP, &info) && info.MaxCharSize == 1;
    }();
    return singleByte;
}

std::optional<unsigned char> AnsiCode(char16_t unit)
{
    const wchar_t wide = static_cast<wchar_t>(unit);
    char narrow[4] = {};
    BOOL usedDefault = FALSE;
    const int written = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, &wide, 1, narrow,
                                            static_cast<int>(sizeof narrow), nullptr, &usedDefault);
    if (written != 1 || usedDefault)
        return std::nullopt;
    return static_cast<unsigned char>(narrow[0]);
}

char16_t AnsiCharacter(unsigned char code)
{
    const char narrow = static_cast<char>(code);
    wchar_t wide = 0;
    if (MultiByteToWideChar(CP_ACP, 0, &narrow, 1, &wide, 1) != 1)
        return 0xFFFD;
    return static_cast<char16_t>(wide);
}
#endif

std::optional<unsigned char> CodeOf(char16_t unit)
{
#ifdef Q_OS_WIN
    if (AnsiPageIsSingleByte())
        return AnsiCode(unit);
#endif
    return Windows1252Code(unit);
}

char16_t CharacterOf(unsigned char code)
{
#ifdef Q_OS_WIN
    if (AnsiPageIsSingleByte())
        return AnsiCharacter(code);
#endif
    return Windows1252Character(code);
}

} // namespace

std::optional<std::string> ToSingleByteCodes(const QString &text)
{
    std::string codes;
    codes.reserve(static_cast<std::size_t>(text.size()));
    for (const QChar character : text) {
        // Half of a surrogate pair is never a character of a single-byte page.
        if (character.isSurrogate())
            return std::nullopt;
        const std::optional<unsigned char> code = CodeOf(character.unicode());
        if (!code)
            return std::nullopt;
        codes += static_cast<char>(*code);
    }
    return codes;
}

QString FromSingleByteCodes(std::string_view codes)
{
    QString text;
    text.reserve(static_cast<qsizetype>(codes.size()));
    for (const char code : codes)
        text += QChar(CharacterOf(static_cast<unsigned char>(code)));
    return text;
}

} // namespace platform
