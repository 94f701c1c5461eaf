#pragma once

#include "platform/serial/serial_settings.h"

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The client side of a serial port reached over Telnet with the Com Port
// Control Option: option negotiation, the line settings, the modem and line
// state notifications, and the data with its doubled 0xFF. Standard C++ only and
// free of I/O, so that it is unit-tested and fuzzed alone; the network backend
// moves the bytes.
namespace platform::rfc2217 {

// Telnet command bytes.
namespace telnet {
constexpr std::uint8_t SE = 240;
constexpr std::uint8_t SB = 250;
constexpr std::uint8_t WILL = 251;
constexpr std::uint8_t WONT = 252;
constexpr std::uint8_t DO = 253;
constexpr std::uint8_t DONT = 254;
constexpr std::uint8_t IAC = 255;
} // namespace telnet

// Telnet option codes that the client uses.
namespace option {
constexpr std::uint8_t Binary = 0;
constexpr std::uint8_t SuppressGoAhead = 3;
constexpr std::uint8_t ComPort = 44;
} // namespace option

// COM-PORT subnegotiation commands as the client sends them; the server
// answers and notifies with the same code plus ServerOffset.
namespace com_port {
constexpr std::uint8_t Signature = 0;
constexpr std::uint8_t SetBaudRate = 1;
constexpr std::uint8_t SetDataSize = 2;
constexpr std::uint8_t SetParity = 3;
constexpr std::uint8_t SetStopSize = 4;
constexpr std::uint8_t SetControl = 5;
constexpr std::uint8_t NotifyLineState = 6;
constexpr std::uint8_t NotifyModemState = 7;
constexpr std::uint8_t FlowControlSuspend = 8;
constexpr std::uint8_t FlowControlResume = 9;
constexpr std::uint8_t SetLineStateMask = 10;
constexpr std::uint8_t SetModemStateMask = 11;
constexpr std::uint8_t PurgeData = 12;
constexpr std::uint8_t ServerOffset = 100;
} // namespace com_port

// Longest subnegotiation (everything between IAC SB and IAC SE, 0xFF undoubled)
// that is kept and read; a longer one is skipped. The longest one read has 6.
constexpr std::size_t MaxSubnegotiation = 64;
// A subnegotiation that runs on past this many bytes (as sent, IAC IAC counting
// two) is a protocol error: while it lasts, nothing of the line is seen.
constexpr std::size_t MaxSubnegotiationRun = 4096;
// Replies that the session may have queued and the caller not yet handed to
// the system (repliesSent()); more is a server that asks and never reads.
constexpr std::size_t MaxPendingReply = 4096;

// Line settings asked of the server, in the option's own values.
struct LineRequest
{
    std::uint32_t baudRate = 2400;
    std::uint8_t dataBits = 8;    // 5..8
    std::uint8_t parity = 3;      // 1 none, 2 odd, 3 even, 4 mark, 5 space
    std::uint8_t stopBits = 2;    // 1 one, 2 two, 3 one and a half
    // Flow control is always "no flow control" (SET-CONTROL value 1).
};

// The request for the settings that the serial control holds ("2400,E,8,2").
LineRequest RequestFor(const LineSettings &settings);

// What one call of ClientSession::receive produced. Appended to, never cleared
// by the codec.
struct Received
{
    std::string data;                   // the serial data from the server, IAC IAC undone
    std::string reply;                  // bytes the client must send back, already framed
    std::vector<std::int16_t> events;   // platform::comm_event codes, in arrival order
};

class ClientSession
{
public:
    explicit ClientSession(const LineRequest &line);

    // What the client sends right after the TCP connection is up: IAC WILL
    // COM-PORT, IAC DO / WILL BINARY, IAC DO / WILL SUPPRESS-GO-AHEAD. Empty on
    // a second call.
    std::string opening();
    // Feeds bytes from the server, in any split (byte by byte too); commands
    // never reach `data`.
    void receive(std::string_view bytes, Received &out);
    // Data to send: 0xFF doubled.
    static std::string escapeData(std::string_view data);
    // The caller has handed every reply so far to the system.
    void repliesSent() { m_replyPending = 0; }

    // Negotiating until the server has acknowledged every line setting as asked;
    // Refused, LineRejected and ProtocolError are final. After a protocol error
    // nothing more is read.
    enum class State { Negotiating, Ready, Refused, LineRejected, ProtocolError };
    State state() const { return m_state; }
    // For the final states: a short English text naming what failed.
    std::string failure() const { return m_failure; }

private:
    // The client's view of one side of an option (RFC 1143 without the states
    // for switching off, which the client never asks for).
    enum class Side : std::uint8_t { No, WantYes, Yes };
    enum class Parse : std::uint8_t { Data, Command, Option, Sub, SubCommand };

    void step(std::uint8_t byte, Received &out);
    void negotiate(std::uint8_t verb, std::uint8_t code, Received &out);
    Side *localSide(std::uint8_t code);
    Side *remoteSide(std::uint8_t code);
    void boundReply(std::string &reply, std::size_t before);
    bool subByteCounted();
    void keepSubByte(std::uint8_t byte);
    void subnegotiation(Received &out);
    void acknowledged(std::uint8_t command, std::string_view value);
    void settingAcknowledged(std::uint8_t setting, bool asAsked, const std::string &failure);
    void modemState(std::uint8_t bits, Received &out);
    static void lineState(std::uint8_t bits, Received &out);
    void fail(State state, std::string failure);

    LineRequest m_line;
    State m_state = State::Negotiating;
    std::string m_failure;

    bool m_opened = false;
    Side m_localComPort = Side::No;
    Side m_localBinary = Side::No;
    Side m_remoteBinary = Side::No;
    Side m_localSuppressGoAhead = Side::No;
    Side m_remoteSuppressGoAhead = Side::No;
    bool m_comPortRefused = false;
    // Options of either side refused once: a request repeated gets no answer.
    std::bitset<256> m_refusedLocal;
    std::bitset<256> m_refusedRemote;
    std::size_t m_replyPending = 0;
    std::uint8_t m_acknowledged = 0;    // a bit per line setting, by its command code

    Parse m_parse = Parse::Data;
    std::uint8_t m_verb = 0;
    std::string m_sub;                  // at most MaxSubnegotiation bytes
    std::size_t m_subRun = 0;           // bytes since IAC SB, up to MaxSubnegotiationRun
    bool m_subSkipped = false;          // too long or malformed: read nothing of it

    bool m_modemKnown = false;          // the first notification sets the baseline
    std::uint8_t m_modem = 0;
};

} // namespace platform::rfc2217
