#include "platform/serial/win32/win32_serial_logic.h"

#include "platform/serial/comm_codes.h"
#include "platform/serial/serial_settings.h"

namespace platform::win32 {

using namespace constants;

bool DcbFields::operator==(const DcbFields &other) const
{
    return BaudRate == other.BaudRate && ByteSize == other.ByteSize && Parity == other.Parity
        && StopBits == other.StopBits && fBinary == other.fBinary && fParity == other.fParity
        && fOutxCtsFlow == other.fOutxCtsFlow && fOutxDsrFlow == other.fOutxDsrFlow
        && fDtrControl == other.fDtrControl && fDsrSensitivity == other.fDsrSensitivity
        && fOutX == other.fOutX && fInX == other.fInX && fErrorChar == other.fErrorChar
        && fNull == other.fNull && fRtsControl == other.fRtsControl
        && fAbortOnError == other.fAbortOnError && XonChar == other.XonChar
        && XoffChar == other.XoffChar;
}

std::optional<DcbFields> DcbFieldsFromSettings(std::string_view settings)
{
    const auto line = ParseLineSettings(settings);
    if (!line)
        return std::nullopt;
    if (line->dataBits == 5 && line->stopBits == platform::StopBits::Two)
        return std::nullopt;
    if (line->dataBits >= 6 && line->stopBits == platform::StopBits::OneAndHalf)
        return std::nullopt;

    DcbFields fields;
    fields.BaudRate = static_cast<std::uint32_t>(line->baudRate);
    fields.ByteSize = static_cast<std::uint8_t>(line->dataBits);
    switch (line->parity) {
    case platform::Parity::None: fields.Parity = NoParity; break;
    case platform::Parity::Odd: fields.Parity = OddParity; break;
    case platform::Parity::Even: fields.Parity = EvenParity; break;
    case platform::Parity::Mark: fields.Parity = MarkParity; break;
    case platform::Parity::Space: fields.Parity = SpaceParity; break;
    }
    fields.fParity = line->parity == platform::Parity::None ? 0 : 1;
    switch (line->stopBits) {
    case platform::StopBits::One: fields.StopBits = OneStopBit; break;
    case platform::StopBits::OneAndHalf: fields.StopBits = One5StopBits; break;
    case platform::StopBits::Two: fields.StopBits = TwoStopBits; break;
    }
    return fields;
}

CommTimeoutValues CommTimeoutsFor(const DcbFields &fields)
{
    // Start bit, data, parity, stop bits (1.5 counted as 2).
    const std::uint32_t bitsPerByte = 1u + fields.ByteSize + (fields.Parity == NoParity ? 0u : 1u)
        + (fields.StopBits == OneStopBit ? 1u : 2u);
    const std::uint32_t baud = fields.BaudRate == 0 ? 1 : fields.BaudRate;
    CommTimeoutValues timeouts;
    // MAXDWORD, 0, 0: ReadFile returns at once with the bytes already received.
    timeouts.ReadIntervalTimeout = MaxDword;
    timeouts.WriteTotalTimeoutMultiplier = (2u * bitsPerByte * 1000u + baud - 1u) / baud;
    timeouts.WriteTotalTimeoutConstant = 1000;
    return timeouts;
}

std::wstring PortDevicePath(int port)
{
    return L"\\\\.\\COM" + std::to_wstring(port);
}

std::string SystemErrorText(std::uint32_t systemError, std::string_view systemText)
{
    while (!systemText.empty()
           && (systemText.back() == '\r' || systemText.back() == '\n' || systemText.back() == ' '
               || systemText.back() == '\t'))
        systemText.remove_suffix(1);
    if (systemText.empty())
        return "system error " + std::to_string(systemError);
    return std::string(systemText);
}

SerialFailure OpenFailure(int port, std::uint32_t systemError, std::string_view systemText)
{
    if (port < 1 || systemError == ErrorFileNotFound || systemError == ErrorPathNotFound)
        return {comm_error::InvalidPortNumber, comm_text::InvalidPortNumber};
    // A COM port allows one handle at a time; a second CreateFileW is denied.
    if (systemError == ErrorAccessDenied || systemError == ErrorSharingViolation)
        return {comm_error::PortInUse, "COM" + std::to_string(port) + " is in use by another program"};
    return PortFailure(comm_error::CannotOpen, "Cannot open", port, systemError, systemText);
}

SerialFailure PortFailure(int number, std::string_view what, int port, std::uint32_t systemError,
                          std::string_view systemText)
{
    return {number, std::string(what) + " COM" + std::to_string(port) + ": "
                        + SystemErrorText(systemError, systemText)};
}

bool IsVanishedDeviceError(std::uint32_t systemError)
{
    switch (systemError) {
    case ErrorDeviceRemoved:
    case ErrorOperationAborted:    // the driver cancels pending I/O on removal
    case ErrorBadCommand:
    case ErrorGenFailure:
    case ErrorDeviceNotConnected:
    case ErrorAccessDenied:        // what some USB serial drivers return once unplugged
        return true;
    default:
        return false;
    }
}

std::vector<std::int16_t> EventCodesFor(std::uint32_t eventMask, std::uint32_t errorFlags)
{
    std::vector<std::int16_t> codes;
    if (eventMask & EvCts)
        codes.push_back(comm_event::CTS);
    if (eventMask & EvDsr)
        codes.push_back(comm_event::DSR);
    if (eventMask & EvRlsd)
        codes.push_back(comm_event::CD);
    if (eventMask & EvBreak)
        codes.push_back(comm_event::Break);
    if (eventMask & EvErr) {
        if (errorFlags & CeFrame)
            codes.push_back(comm_event::Frame);
        if (errorFlags & CeOverrun)
            codes.push_back(comm_event::Overrun);
        if (errorFlags & CeRxOver)
            codes.push_back(comm_event::RxOver);
        if (errorFlags & CeRxParity)
            codes.push_back(comm_event::RxParity);
        if (errorFlags & CeTxFull)
            codes.push_back(comm_event::TxFull);
    }
    return codes;
}

} // namespace platform::win32
