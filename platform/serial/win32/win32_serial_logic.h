#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The decisions of the Windows serial engine, in standard C++ so that they are
// built and tested on every platform. Windows constants are written out with
// their documented values; the Windows build checks them against <windows.h>.
namespace platform::win32 {

namespace constants {
// DCB.Parity
constexpr std::uint8_t NoParity = 0;
constexpr std::uint8_t OddParity = 1;
constexpr std::uint8_t EvenParity = 2;
constexpr std::uint8_t MarkParity = 3;
constexpr std::uint8_t SpaceParity = 4;
// DCB.StopBits
constexpr std::uint8_t OneStopBit = 0;
constexpr std::uint8_t One5StopBits = 1;
constexpr std::uint8_t TwoStopBits = 2;
// DCB.fDtrControl and DCB.fRtsControl
constexpr std::uint32_t DtrControlDisable = 0;
constexpr std::uint32_t DtrControlEnable = 1;
constexpr std::uint32_t RtsControlDisable = 0;
constexpr std::uint32_t RtsControlEnable = 1;
// SetCommMask / WaitCommEvent
constexpr std::uint32_t EvRxChar = 0x0001;
constexpr std::uint32_t EvTxEmpty = 0x0004;
constexpr std::uint32_t EvCts = 0x0008;
constexpr std::uint32_t EvDsr = 0x0010;
constexpr std::uint32_t EvRlsd = 0x0020;
constexpr std::uint32_t EvBreak = 0x0040;
constexpr std::uint32_t EvErr = 0x0080;
constexpr std::uint32_t EvRing = 0x0100;
// ClearCommError
constexpr std::uint32_t CeRxOver = 0x0001;
constexpr std::uint32_t CeOverrun = 0x0002;
constexpr std::uint32_t CeRxParity = 0x0004;
constexpr std::uint32_t CeFrame = 0x0008;
constexpr std::uint32_t CeBreak = 0x0010;
constexpr std::uint32_t CeTxFull = 0x0100;
// GetLastError
constexpr std::uint32_t ErrorFileNotFound = 2;
constexpr std::uint32_t ErrorPathNotFound = 3;
constexpr std::uint32_t ErrorAccessDenied = 5;
constexpr std::uint32_t ErrorBadCommand = 22;
constexpr std::uint32_t ErrorGenFailure = 31;
constexpr std::uint32_t ErrorSharingViolation = 32;
constexpr std::uint32_t ErrorOperationAborted = 995;
constexpr std::uint32_t ErrorDeviceNotConnected = 1167;
constexpr std::uint32_t ErrorDeviceRemoved = 1617;
// COMMTIMEOUTS.ReadIntervalTimeout
constexpr std::uint32_t MaxDword = 0xFFFFFFFF;
} // namespace constants

// The DCB members that the engine sets; the others keep the driver's values.
// Names as in the DCB, values as the Windows constants.
struct DcbFields
{
    std::uint32_t BaudRate = 9600;
    std::uint8_t ByteSize = 8;
    std::uint8_t Parity = constants::NoParity;
    std::uint8_t StopBits = constants::OneStopBit;
    std::uint32_t fBinary = 1;          // Windows supports no other mode
    std::uint32_t fParity = 0;          // check parity on input
    // No flow control of any kind: the trainer uses none, and a handshake
    // line left low by the base must not hold back a command byte.
    std::uint32_t fOutxCtsFlow = 0;
    std::uint32_t fOutxDsrFlow = 0;
    std::uint32_t fDtrControl = constants::DtrControlEnable;
    std::uint32_t fDsrSensitivity = 0;  // 1 would drop bytes while DSR is low
    std::uint32_t fOutX = 0;
    std::uint32_t fInX = 0;
    std::uint32_t fErrorChar = 0;       // bytes with parity errors stay as received
    std::uint32_t fNull = 0;            // 0x00 bytes are data, not discarded
    std::uint32_t fRtsControl = constants::RtsControlEnable;
    std::uint32_t fAbortOnError = 0;    // 1 would fail all I/O after a line error
    char XonChar = 0x11;                // SetCommState refuses equal characters
    char XoffChar = 0x13;

    bool operator==(const DcbFields &other) const;
};

// The settings text ("2400,E,8,2") as DCB values; empty for text that does not
// parse, and for the combinations the DCB documents as invalid (5 data bits
// with 2 stop bits, 6 to 8 data bits with 1.5 stop bits).
std::optional<DcbFields> DcbFieldsFromSettings(std::string_view settings);

// COMMTIMEOUTS in milliseconds.
struct CommTimeoutValues
{
    std::uint32_t ReadIntervalTimeout = 0;
    std::uint32_t ReadTotalTimeoutMultiplier = 0;
    std::uint32_t ReadTotalTimeoutConstant = 0;
    std::uint32_t WriteTotalTimeoutMultiplier = 0;
    std::uint32_t WriteTotalTimeoutConstant = 0;
};

// Reads return at once with what has arrived; a write may take twice its time
// on the line plus a second, so that a stalled driver cannot hang the caller.
CommTimeoutValues CommTimeoutsFor(const DcbFields &fields);

// A failure as the serial control reports it: a comm_error number and a text.
struct SerialFailure
{
    int number = 0;
    std::string description;
};

// "\\.\COM<port>": the device namespace, without which COM10 and above cannot
// be opened.
std::wstring PortDevicePath(int port);

// The system's message without the line break and blanks that end it; a
// fallback naming the code when the system has no text.
std::string SystemErrorText(std::uint32_t systemError, std::string_view systemText);

// Why CreateFileW failed on port N (N < 1 names no port at all); systemText is
// the system's message for systemError.
SerialFailure OpenFailure(int port, std::uint32_t systemError, std::string_view systemText);

// A failed call on open port N, numbered `number`, described as
// "<what> COMN: <the system's message>", e.g. what = "Cannot write to".
SerialFailure PortFailure(int number, std::string_view what, int port, std::uint32_t systemError,
                          std::string_view systemText);

// An error of I/O on an open port that means the device has gone away
// (a USB adapter pulled out).
bool IsVanishedDeviceError(std::uint32_t systemError);

// The events that WaitCommEvent is asked for: CTS, DSR, CD changes, breaks and
// line errors.
constexpr std::uint32_t WatchedEventMask =
    constants::EvCts | constants::EvDsr | constants::EvRlsd | constants::EvBreak | constants::EvErr;

// The CommEvent codes for one completed WaitCommEvent: the mask it returned
// and, when that holds EV_ERR, the error flags from ClearCommError. Line
// changes come first, then the break, then the errors. A break is reported from
// EV_BREAK only, since its CE_BREAK flag stays set until the next
// ClearCommError and would report it twice.
std::vector<std::int16_t> EventCodesFor(std::uint32_t eventMask, std::uint32_t errorFlags);

} // namespace platform::win32
