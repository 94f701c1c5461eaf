#pragma once

#include <optional>
#include <string_view>

// Standard C++ only: every serial implementation parses the settings text here.
namespace platform {

enum class Parity { None, Even, Odd, Mark, Space };
enum class StopBits { One, OneAndHalf, Two };

struct LineSettings
{
    int baudRate = 9600;
    Parity parity = Parity::None;
    int dataBits = 8;
    StopBits stopBits = StopBits::One;

    bool operator==(const LineSettings &other) const
    {
        return baudRate == other.baudRate && parity == other.parity && dataBits == other.dataBits
            && stopBits == other.stopBits;
    }
};

// "2400,E,8,2": speed, parity letter (N, E, O, M, S), data bits (4 to 8), stop
// bits (1, 1.5, 2). An empty optional for any other text.
std::optional<LineSettings> ParseLineSettings(std::string_view text);

} // namespace platform
