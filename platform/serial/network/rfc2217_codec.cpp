#include "platform/serial/network/rfc2217_codec.h"

#include "platform/serial/comm_codes.h"

#include <initializer_list>
#include <utility>

namespace platform::rfc2217 {

using namespace telnet;

namespace {

// SET-CONTROL value: no flow control on output (nor on input, for most servers).
constexpr std::uint8_t NoFlowControl = 1;
// SET-CONTROL values 0 to 3 are the output flow control; the others set or ask
// for BREAK, DTR, RTS and the input flow control, which the client never asks.
constexpr std::uint8_t LastFlowControlValue = 3;

// NOTIFY-MODEMSTATE bits: the line states and their change bits.
constexpr std::uint8_t CtsDelta = 0x01;
constexpr std::uint8_t DsrDelta = 0x02;
constexpr std::uint8_t RingTrailingEdge = 0x04;
constexpr std::uint8_t CdDelta = 0x08;
constexpr std::uint8_t CtsState = 0x10;
constexpr std::uint8_t DsrState = 0x20;
constexpr std::uint8_t RingState = 0x40;
constexpr std::uint8_t CdState = 0x80;
// NOTIFY-LINESTATE bits that a local port reports too.
constexpr std::uint8_t OverrunError = 0x02;
constexpr std::uint8_t ParityError = 0x04;
constexpr std::uint8_t FramingError = 0x08;
constexpr std::uint8_t BreakDetect = 0x10;

// What the client asks to be told: CTS, DSR and CD with their change bits, and breaks.
constexpr std::uint8_t ModemStateMask = CdState | DsrState | CtsState | CdDelta | DsrDelta | CtsDelta;
constexpr std::uint8_t LineStateMask = BreakDetect;

constexpr std::uint8_t AllSettings = (1u << com_port::SetBaudRate) | (1u << com_port::SetDataSize)
    | (1u << com_port::SetParity) | (1u << com_port::SetStopSize) | (1u << com_port::SetControl);

void appendCommand(std::string &out, std::uint8_t verb, std::uint8_t code)
{
    out += static_cast<char>(IAC);
    out += static_cast<char>(verb);
    out += static_cast<char>(code);
}

void appendComPortCommand(std::string &out, std::uint8_t command, std::initializer_list<std::uint8_t> value)
{
    out += static_cast<char>(IAC);
    out += static_cast<char>(SB);
    out += static_cast<char>(option::ComPort);
    out += static_cast<char>(command);
    for (const std::uint8_t byte : value) {
        out += static_cast<char>(byte);
        if (byte == IAC)
            out += static_cast<char>(IAC);
    }
    out += static_cast<char>(IAC);
    out += static_cast<char>(SE);
}

std::string parityName(std::uint8_t value)
{
    switch (value) {
    case 1: return "none";
    case 2: return "odd";
    case 3: return "even";
    case 4: return "mark";
    case 5: return "space";
    default: return std::to_string(value);
    }
}

std::string stopBitsName(std::uint8_t value)
{
    switch (value) {
    case 1: return "1";
    case 2: return "2";
    case 3: return "1.5";
    default: return std::to_string(value);
    }
}

std::string flowControlName(std::uint8_t value)
{
    switch (value) {
    case 1: return "none";
    case 2: return "XON/XOFF";
    case 3: return "hardware";
    default: return std::to_string(value);
    }
}

std::string changed(const std::string &what, const std::string &set, const std::string &asked)
{
    return "the server set " + what + " " + set + ", not " + asked;
}

} // namespace

LineRequest RequestFor(const LineSettings &settings)
{
    LineRequest request;
    request.baudRate = static_cast<std::uint32_t>(settings.baudRate);
    request.dataBits = static_cast<std::uint8_t>(settings.dataBits);
    switch (settings.parity) {
    case Parity::None: request.parity = 1; break;
    case Parity::Odd: request.parity = 2; break;
    case Parity::Even: request.parity = 3; break;
    case Parity::Mark: request.parity = 4; break;
    case Parity::Space: request.parity = 5; break;
    }
    switch (settings.stopBits) {
    case StopBits::One: request.stopBits = 1; break;
    case StopBits::Two: request.stopBits = 2; break;
    case StopBits::OneAndHalf: request.stopBits = 3; break;
    }
    return request;
}

ClientSession::ClientSession(const LineRequest &line)
    : m_line(line)
{
    m_sub.reserve(MaxSubnegotiation);
}

std::string ClientSession::opening()
{
    std::string out;
    if (m_opened)
        return out;
    m_opened = true;
    // Only what is still off: the server may have spoken first.
    const auto ask = [&out](Side &side, std::uint8_t verb, std::uint8_t code) {
        if (side != Side::No)
            return;
        side = Side::WantYes;
        appendCommand(out, verb, code);
    };
    ask(m_localComPort, WILL, option::ComPort);
    ask(m_remoteBinary, DO, option::Binary);
    ask(m_localBinary, WILL, option::Binary);
    ask(m_remoteSuppressGoAhead, DO, option::SuppressGoAhead);
    ask(m_localSuppressGoAhead, WILL, option::SuppressGoAhead);
    return out;
}

std::string ClientSession::escapeData(std::string_view data)
{
    std::string out;
    out.reserve(data.size());
    for (const char c : data) {
        out += c;
        if (static_cast<std::uint8_t>(c) == IAC)
            out += c;
    }
    return out;
}

void ClientSession::receive(std::string_view bytes, Received &out)
{
    std::size_t next = 0;
    while (next < bytes.size() && m_state != State::ProtocolError) {
        if (m_parse == Parse::Data) {
            // Runs of plain data are copied whole: a flood costs no more than a copy.
            const std::size_t iac = bytes.find(static_cast<char>(IAC), next);
            const std::size_t end = iac == std::string_view::npos ? bytes.size() : iac;
            out.data.append(bytes.data() + next, end - next);
            if (iac == std::string_view::npos)
                return;
            m_parse = Parse::Command;
            next = iac + 1;
            continue;
        }
        const std::size_t replied = out.reply.size();
        step(static_cast<std::uint8_t>(bytes[next++]), out);
        if (out.reply.size() != replied)
            boundReply(out.reply, replied);
    }
}

// A step's reply is whole commands: taken back whole, it leaves the rest framed.
void ClientSession::boundReply(std::string &reply, std::size_t before)
{
    const std::size_t added = reply.size() - before;
    if (m_replyPending + added > MaxPendingReply) {
        reply.resize(before);
        fail(State::ProtocolError, "the server asks more than it reads the answers of");
        return;
    }
    m_replyPending += added;
}

void ClientSession::step(std::uint8_t byte, Received &out)
{
    switch (m_parse) {
    case Parse::Data:
        // receive() copies runs of data itself; a single byte is data all the same.
        out.data += static_cast<char>(byte);
        return;
    case Parse::Command:
        m_parse = Parse::Data;
        switch (byte) {
        case IAC:
            out.data += static_cast<char>(IAC);
            return;
        case WILL:
        case WONT:
        case DO:
        case DONT:
            m_verb = byte;
            m_parse = Parse::Option;
            return;
        case SB:
            m_sub.clear();
            m_subRun = 0;
            m_subSkipped = false;
            m_parse = Parse::Sub;
            return;
        default:
            // NOP, GA, DM, AYT, a stray SE and the rest ask nothing of a serial
            // line; answering AYT would put text of our own on the wire.
            return;
        }
    case Parse::Option:
        m_parse = Parse::Data;
        negotiate(m_verb, byte, out);
        return;
    case Parse::Sub:
        if (!subByteCounted())
            return;
        if (byte == IAC)
            m_parse = Parse::SubCommand;
        else
            keepSubByte(byte);
        return;
    case Parse::SubCommand:
        if (!subByteCounted())
            return;
        if (byte == SE) {
            m_parse = Parse::Data;
            if (!m_subSkipped)
                subnegotiation(out);
            return;
        }
        m_parse = Parse::Sub;
        if (byte == IAC)
            keepSubByte(byte);
        else
            // A command inside a subnegotiation is malformed; the rest up to
            // IAC SE is still skipped, so none of it becomes data.
            m_subSkipped = true;
        return;
    }
}

ClientSession::Side *ClientSession::localSide(std::uint8_t code)
{
    switch (code) {
    case option::ComPort:
        // Once refused, the client wants it no more: a later DO is declined.
        return m_comPortRefused ? nullptr : &m_localComPort;
    case option::Binary: return &m_localBinary;
    case option::SuppressGoAhead: return &m_localSuppressGoAhead;
    default: return nullptr;
    }
}

ClientSession::Side *ClientSession::remoteSide(std::uint8_t code)
{
    switch (code) {
    case option::Binary: return &m_remoteBinary;
    case option::SuppressGoAhead: return &m_remoteSuppressGoAhead;
    default: return nullptr;   // the server's side of COM-PORT included
    }
}

// Replies only when a side changes, so a server that repeats itself gets no
// answer and two clients of this kind cannot loop.
void ClientSession::negotiate(std::uint8_t verb, std::uint8_t code, Received &out)
{
    const bool enable = verb == WILL || verb == DO;
    const bool local = verb == DO || verb == DONT;
    Side *side = local ? localSide(code) : remoteSide(code);
    if (local && !enable && code == option::ComPort) {
        m_comPortRefused = true;
        fail(State::Refused, "the server refuses the COM-PORT option");
    }
    const std::uint8_t agree = local ? WILL : DO;
    const std::uint8_t refuse = local ? WONT : DONT;
    if (!side) {
        // Refused once per option and side: a server that repeats its request
        // gets no more answers to pile up (RFC 1143).
        std::bitset<256> &refused = local ? m_refusedLocal : m_refusedRemote;
        if (enable && !refused.test(code)) {
            refused.set(code);
            appendCommand(out.reply, refuse, code);
        }
        return;
    }
    if (enable) {
        if (*side == Side::Yes)
            return;
        if (*side == Side::No)
            appendCommand(out.reply, agree, code);
        *side = Side::Yes;
        // Sent once: COM-PORT, once refused, is never turned on again.
        if (side == &m_localComPort) {
            const std::uint32_t baud = m_line.baudRate;
            appendComPortCommand(out.reply, com_port::SetBaudRate,
                                 {std::uint8_t(baud >> 24), std::uint8_t(baud >> 16),
                                  std::uint8_t(baud >> 8), std::uint8_t(baud)});
            appendComPortCommand(out.reply, com_port::SetDataSize, {m_line.dataBits});
            appendComPortCommand(out.reply, com_port::SetParity, {m_line.parity});
            appendComPortCommand(out.reply, com_port::SetStopSize, {m_line.stopBits});
            appendComPortCommand(out.reply, com_port::SetControl, {NoFlowControl});
            appendComPortCommand(out.reply, com_port::SetModemStateMask, {ModemStateMask});
            appendComPortCommand(out.reply, com_port::SetLineStateMask, {LineStateMask});
        }
        return;
    }
    // A refusal of what the client asked for needs no answer; switching off
    // what was on is acknowledged.
    if (*side == Side::Yes)
        appendCommand(out.reply, refuse, code);
    *side = Side::No;
}

// False once the subnegotiation has run past its bound: the rest is skipped,
// and the session is broken.
bool ClientSession::subByteCounted()
{
    if (m_subRun >= MaxSubnegotiationRun) {
        fail(State::ProtocolError,
             "the server sent a subnegotiation longer than " + std::to_string(MaxSubnegotiationRun) + " bytes");
        return false;
    }
    ++m_subRun;
    return true;
}

void ClientSession::keepSubByte(std::uint8_t byte)
{
    if (m_sub.size() < MaxSubnegotiation)
        m_sub += static_cast<char>(byte);
    else
        m_subSkipped = true;
}

void ClientSession::subnegotiation(Received &out)
{
    // Only COM-PORT is read, and only once it is on: before that, nothing the
    // server says can answer a request of ours.
    if (m_sub.size() < 2 || static_cast<std::uint8_t>(m_sub[0]) != option::ComPort
        || m_localComPort != Side::Yes)
        return;
    const auto command = static_cast<std::uint8_t>(m_sub[1]);
    const std::string_view value = std::string_view(m_sub).substr(2);
    if (command < com_port::ServerOffset)
        return;
    switch (command - com_port::ServerOffset) {
    case com_port::SetBaudRate:
    case com_port::SetDataSize:
    case com_port::SetParity:
    case com_port::SetStopSize:
    case com_port::SetControl:
        acknowledged(command - com_port::ServerOffset, value);
        return;
    case com_port::NotifyModemState:
        if (value.size() == 1)
            modemState(static_cast<std::uint8_t>(value[0]), out);
        return;
    case com_port::NotifyLineState:
        if (value.size() == 1)
            lineState(static_cast<std::uint8_t>(value[0]), out);
        return;
    default:
        // The signature, flow control suspend and resume, the masks' and the
        // purge's acknowledgements, and codes this client does not know.
        return;
    }
}

void ClientSession::acknowledged(std::uint8_t command, std::string_view value)
{
    const auto byte = [&value] { return static_cast<std::uint8_t>(value[0]); };
    switch (command) {
    case com_port::SetBaudRate: {
        if (value.size() != 4) {
            fail(State::LineRejected, "the server sent a malformed baud rate acknowledgement");
            return;
        }
        std::uint32_t baud = 0;
        for (const char c : value)
            baud = (baud << 8) | static_cast<std::uint8_t>(c);
        settingAcknowledged(command, baud == m_line.baudRate,
                            changed("baud rate", std::to_string(baud), std::to_string(m_line.baudRate)));
        return;
    }
    case com_port::SetDataSize:
        if (value.size() != 1)
            break;
        settingAcknowledged(command, byte() == m_line.dataBits,
                            changed("data bits", std::to_string(byte()), std::to_string(m_line.dataBits)));
        return;
    case com_port::SetParity:
        if (value.size() != 1)
            break;
        settingAcknowledged(command, byte() == m_line.parity,
                            changed("parity", parityName(byte()), parityName(m_line.parity)));
        return;
    case com_port::SetStopSize:
        if (value.size() != 1)
            break;
        settingAcknowledged(command, byte() == m_line.stopBits,
                            changed("stop bits", stopBitsName(byte()), stopBitsName(m_line.stopBits)));
        return;
    case com_port::SetControl:
        if (value.size() != 1)
            break;
        if (byte() > LastFlowControlValue)
            return;   // about BREAK, DTR, RTS or input flow control, not our request
        settingAcknowledged(command, byte() == NoFlowControl,
                            changed("flow control", flowControlName(byte()), flowControlName(NoFlowControl)));
        return;
    default:
        return;
    }
    fail(State::LineRejected, "the server sent a malformed line settings acknowledgement");
}

void ClientSession::settingAcknowledged(std::uint8_t setting, bool asAsked, const std::string &failure)
{
    if (!asAsked) {
        fail(State::LineRejected, failure);
        return;
    }
    m_acknowledged |= static_cast<std::uint8_t>(1u << setting);
    if (m_acknowledged == AllSettings && m_state == State::Negotiating)
        m_state = State::Ready;
}

// One event per line and notification, for a change bit or a state that
// differs from the last one notified, in the order a local port reports them.
void ClientSession::modemState(std::uint8_t bits, Received &out)
{
    const std::uint8_t moved = m_modemKnown ? static_cast<std::uint8_t>(bits ^ m_modem) : 0;
    m_modemKnown = true;
    m_modem = bits;
    if ((bits & CtsDelta) || (moved & CtsState))
        out.events.push_back(comm_event::CTS);
    if ((bits & DsrDelta) || (moved & DsrState))
        out.events.push_back(comm_event::DSR);
    if ((bits & CdDelta) || (moved & CdState))
        out.events.push_back(comm_event::CD);
    // A local port counts a ring at its trailing edge, when the indicator goes off.
    if ((bits & RingTrailingEdge) || ((moved & RingState) && !(bits & RingState)))
        out.events.push_back(comm_event::Ring);
}

void ClientSession::lineState(std::uint8_t bits, Received &out)
{
    if (bits & BreakDetect)
        out.events.push_back(comm_event::Break);
    if (bits & FramingError)
        out.events.push_back(comm_event::Frame);
    if (bits & OverrunError)
        out.events.push_back(comm_event::Overrun);
    if (bits & ParityError)
        out.events.push_back(comm_event::RxParity);
}

// The first failure is the one reported.
void ClientSession::fail(State state, std::string failure)
{
    if (m_state == State::Refused || m_state == State::LineRejected || m_state == State::ProtocolError)
        return;
    m_state = state;
    m_failure = std::move(failure);
}

} // namespace platform::rfc2217
