#include "simulator/base_line.h"

#include "protocol/tarvex_protocol.h"

#include <optional>
#include <stdexcept>

namespace tarvex_sim {

namespace {

const char *parityName(platform::Parity parity)
{
    switch (parity) {
    case platform::Parity::None: return "no";
    case platform::Parity::Even: return "even";
    case platform::Parity::Odd: return "odd";
    case platform::Parity::Mark: return "mark";
    case platform::Parity::Space: return "space";
    }
    return "unknown";
}

const char *stopBitsName(platform::StopBits stopBits)
{
    switch (stopBits) {
    case platform::StopBits::One: return "1";
    case platform::StopBits::OneAndHalf: return "1.5";
    case platform::StopBits::Two: return "2";
    }
    return "unknown";
}

tcflag_t dataBitsFlag(int dataBits)
{
    switch (dataBits) {
    case 5: return CS5;
    case 6: return CS6;
    case 7: return CS7;
    default: return CS8;
    }
}

// The speeds a terminal knows by name; a pseudo-terminal keeps but ignores them.
bool speedOf(int baudRate, speed_t *speed)
{
    const struct
    {
        int baudRate;
        speed_t speed;
    } speeds[] = {{1200, B1200}, {2400, B2400}, {4800, B4800}, {9600, B9600}, {19200, B19200}, {38400, B38400}};
    for (const auto &known : speeds) {
        if (known.baudRate == baudRate) {
            *speed = known.speed;
            return true;
        }
    }
    return false;
}

} // namespace

platform::LineSettings BaseLine()
{
    static const std::optional<platform::LineSettings> line =
        platform::ParseLineSettings(tarvex_protocol::LineSettings);
    if (!line)
        throw std::logic_error("the protocol's line settings do not parse");
    return *line;
}

std::string DescribeLine(const platform::LineSettings &line)
{
    return std::to_string(line.baudRate) + " baud, " + parityName(line.parity) + " parity, "
        + std::to_string(line.dataBits) + " data bits, " + stopBitsName(line.stopBits) + " stop bits";
}

void SetLine(const platform::LineSettings &line, termios *attributes)
{
    attributes->c_cflag &= ~tcflag_t(CSIZE | PARENB | PARODD | CSTOPB);
    attributes->c_cflag |= dataBitsFlag(line.dataBits);
    if (line.parity != platform::Parity::None)
        attributes->c_cflag |= PARENB;
    if (line.parity == platform::Parity::Odd || line.parity == platform::Parity::Mark)
        attributes->c_cflag |= PARODD;
#ifdef CMSPAR
    attributes->c_cflag &= ~tcflag_t(CMSPAR);
    if (line.parity == platform::Parity::Mark || line.parity == platform::Parity::Space)
        attributes->c_cflag |= CMSPAR;
#endif
    if (line.stopBits != platform::StopBits::One)
        attributes->c_cflag |= CSTOPB;
    speed_t speed = B0;
    if (speedOf(line.baudRate, &speed)) {
        ::cfsetispeed(attributes, speed);
        ::cfsetospeed(attributes, speed);
    }
}

} // namespace tarvex_sim
