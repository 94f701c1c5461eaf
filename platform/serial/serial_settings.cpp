#include "platform/serial/serial_settings.h"

#include <array>
#include <cctype>
#include <charconv>

namespace platform {

namespace {

std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
        text.remove_prefix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.remove_suffix(1);
    return text;
}

std::optional<int> wholeNumber(std::string_view text)
{
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty())
        return std::nullopt;
    return value;
}

} // namespace

std::optional<LineSettings> ParseLineSettings(std::string_view text)
{
    std::array<std::string_view, 4> fields;
    std::size_t count = 0;
    while (true) {
        const std::size_t comma = text.find(',');
        if (count == fields.size())
            return std::nullopt;
        fields[count++] = trimmed(text.substr(0, comma));
        if (comma == std::string_view::npos)
            break;
        text.remove_prefix(comma + 1);
    }
    if (count != fields.size())
        return std::nullopt;

    LineSettings settings;
    const auto baud = wholeNumber(fields[0]);
    if (!baud || *baud <= 0)
        return std::nullopt;
    settings.baudRate = *baud;

    if (fields[1].size() != 1)
        return std::nullopt;
    switch (std::toupper(static_cast<unsigned char>(fields[1][0]))) {
    case 'N': settings.parity = Parity::None; break;
    case 'E': settings.parity = Parity::Even; break;
    case 'O': settings.parity = Parity::Odd; break;
    case 'M': settings.parity = Parity::Mark; break;
    case 'S': settings.parity = Parity::Space; break;
    default: return std::nullopt;
    }

    const auto dataBits = wholeNumber(fields[2]);
    if (!dataBits || *dataBits < 4 || *dataBits > 8)
        return std::nullopt;
    settings.dataBits = *dataBits;

    if (fields[3] == "1")
        settings.stopBits = StopBits::One;
    else if (fields[3] == "1.5")
        settings.stopBits = StopBits::OneAndHalf;
    else if (fields[3] == "2")
        settings.stopBits = StopBits::Two;
    else
        return std::nullopt;
    return settings;
}

} // namespace platform
