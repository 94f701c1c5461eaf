#include "platform/serial/comm_codes.h"
#include "platform/serial/network/rfc2217_codec.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

// Whatever a server sends: the split of the stream does not matter, the reply
// holds only negotiation and the client's own line settings, data never grows
// beyond what arrived, what waits for a server that never reads stays within
// its bound however long the server goes on, and the sanitizers see no crash
// or overrun.
//
// Input: 4 bytes that choose the split, the line request (baud rate as 4 bytes
// in network order, data bits, parity, stop bits), then the server's stream.

namespace {

using namespace platform::rfc2217;

constexpr std::size_t HeaderSize = 11;
// The line settings and masks sent once: a baud rate of four doubled 0xFF
// bytes, six one-byte values doubled too.
constexpr std::size_t MostSettingsBytes = (4 + 8 + 2) + 6 * (4 + 2 + 2);
// How much a server that never reads sends, the stream over and over.
constexpr std::size_t RepeatedStreamBytes = 256 * 1024;
constexpr int MostRounds = 4096;

struct Outcome
{
    Received out;
    ClientSession::State state;
    std::string failure;
};

std::uint8_t at(std::string_view text, std::size_t index)
{
    return static_cast<std::uint8_t>(text[index]);
}

// Feeds the stream in pieces of 1 to 16 bytes chosen by the seed; 0 feeds it whole.
Outcome run(const LineRequest &line, std::string_view stream, std::uint32_t seed)
{
    ClientSession session(line);
    session.opening();
    Outcome outcome;
    if (seed == 0) {
        session.receive(stream, outcome.out);
    } else {
        std::uint32_t state = seed;
        while (!stream.empty()) {
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            const std::size_t piece = std::min<std::size_t>(1 + state % 16, stream.size());
            session.receive(stream.substr(0, piece), outcome.out);
            stream.remove_prefix(piece);
        }
    }
    outcome.state = session.state();
    outcome.failure = session.failure();
    return outcome;
}

// IAC WILL/DO of the options the client wants, IAC WONT/DONT of any, and
// IAC SB COM-PORT <setting> <value> IAC SE with each setting once.
bool wellFormedReply(std::string_view reply)
{
    using namespace telnet;
    std::array<bool, 256> sent{};
    std::size_t i = 0;
    while (i < reply.size()) {
        if (reply.size() - i < 3 || at(reply, i) != IAC)
            return false;
        const std::uint8_t verb = at(reply, i + 1);
        const std::uint8_t code = at(reply, i + 2);
        i += 3;
        switch (verb) {
        case WILL:
            if (code != option::ComPort && code != option::Binary && code != option::SuppressGoAhead)
                return false;
            continue;
        case DO:
            if (code != option::Binary && code != option::SuppressGoAhead)
                return false;
            continue;
        case WONT:
        case DONT:
            continue;
        case SB:
            break;
        default:
            return false;
        }
        if (code != option::ComPort || i >= reply.size())
            return false;
        const std::uint8_t command = at(reply, i++);
        std::size_t valueSize = 0;
        for (;;) {
            if (i >= reply.size())
                return false;
            if (at(reply, i) != IAC) {
                ++valueSize;
                ++i;
                continue;
            }
            if (i + 1 >= reply.size())
                return false;
            if (at(reply, i + 1) == SE)
                break;
            if (at(reply, i + 1) != IAC)
                return false;
            ++valueSize;
            i += 2;
        }
        i += 2;
        switch (command) {
        case com_port::SetBaudRate:
            if (valueSize != 4)
                return false;
            break;
        case com_port::SetDataSize:
        case com_port::SetParity:
        case com_port::SetStopSize:
        case com_port::SetControl:
        case com_port::SetLineStateMask:
        case com_port::SetModemStateMask:
            if (valueSize != 1)
                return false;
            break;
        default:
            return false;
        }
        if (sent[command])
            return false;
        sent[command] = true;
    }
    return true;
}

bool knownEvent(std::int16_t code)
{
    namespace event = platform::comm_event;
    switch (code) {
    case event::CTS:
    case event::DSR:
    case event::CD:
    case event::Ring:
    case event::Break:
    case event::Frame:
    case event::Overrun:
    case event::RxParity:
        return true;
    default:
        return false;
    }
}

void check(bool condition)
{
    if (!condition)
        std::abort();
}

bool failed(ClientSession::State state)
{
    return state == ClientSession::State::Refused || state == ClientSession::State::LineRejected
        || state == ClientSession::State::ProtocolError;
}

// The stream sent again and again to a session whose replies never go out:
// what waits for the server stays within the bound, and stays framed.
void neverRead(const LineRequest &line, std::string_view stream)
{
    ClientSession session(line);
    session.opening();
    Received out;
    std::size_t sent = 0;
    for (int round = 0; round < MostRounds && sent < RepeatedStreamBytes; ++round, sent += stream.size()) {
        session.receive(stream, out);
        check(out.reply.size() <= MaxPendingReply);
        if (session.state() == ClientSession::State::ProtocolError)
            break;
    }
    check(wellFormedReply(out.reply));
    check(failed(session.state()) != session.failure().empty());
}


} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < HeaderSize)
        return 0;
    const std::string_view input(reinterpret_cast<const char *>(data), size);
    const auto be32 = [&input](std::size_t from) {
        return std::uint32_t(at(input, from)) << 24 | std::uint32_t(at(input, from + 1)) << 16
            | std::uint32_t(at(input, from + 2)) << 8 | std::uint32_t(at(input, from + 3));
    };
    const std::uint32_t seed = be32(0) | 1;   // never 0, which means whole
    LineRequest line;
    line.baudRate = be32(4);
    line.dataBits = at(input, 8);
    line.parity = at(input, 9);
    line.stopBits = at(input, 10);
    const std::string_view stream = input.substr(HeaderSize);

    const Outcome whole = run(line, stream, 0);
    const Outcome split = run(line, stream, seed);
    check(whole.out.data == split.out.data);
    check(whole.out.reply == split.out.reply);
    check(whole.out.events == split.out.events);
    check(whole.state == split.state);
    check(whole.failure == split.failure);

    check(wellFormedReply(whole.out.reply));
    check(whole.out.data.size() <= stream.size());
    check(whole.out.reply.size() <= stream.size() + MostSettingsBytes);
    check(std::all_of(whole.out.events.begin(), whole.out.events.end(), knownEvent));
    check(whole.out.reply.size() <= MaxPendingReply);
    check(failed(whole.state) != whole.failure.empty());
    if (!stream.empty())
        neverRead(line, stream);

    // The same bytes sent as data by a server come back unchanged, and alone.
    ClientSession echo{LineRequest()};
    Received echoed;
    echo.receive(ClientSession::escapeData(stream), echoed);
    check(echoed.data == stream);
    check(echoed.reply.empty() && echoed.events.empty());
    return 0;
}
