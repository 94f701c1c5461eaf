#include "platform/serial/win32/win32_serial_port.h"

#include "platform/serial/comm_codes.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <atomic>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

namespace platform::win32 {

// The portable header writes these out; here they meet the SDK's.
static_assert(constants::NoParity == NOPARITY && constants::OddParity == ODDPARITY
              && constants::EvenParity == EVENPARITY && constants::MarkParity == MARKPARITY
              && constants::SpaceParity == SPACEPARITY);
static_assert(constants::OneStopBit == ONESTOPBIT && constants::One5StopBits == ONE5STOPBITS
              && constants::TwoStopBits == TWOSTOPBITS);
static_assert(constants::DtrControlDisable == DTR_CONTROL_DISABLE
              && constants::DtrControlEnable == DTR_CONTROL_ENABLE
              && constants::RtsControlDisable == RTS_CONTROL_DISABLE
              && constants::RtsControlEnable == RTS_CONTROL_ENABLE);
static_assert(constants::EvRxChar == EV_RXCHAR && constants::EvTxEmpty == EV_TXEMPTY
              && constants::EvCts == EV_CTS && constants::EvDsr == EV_DSR
              && constants::EvRlsd == EV_RLSD && constants::EvBreak == EV_BREAK
              && constants::EvErr == EV_ERR && constants::EvRing == EV_RING);
static_assert(constants::CeRxOver == CE_RXOVER && constants::CeOverrun == CE_OVERRUN
              && constants::CeRxParity == CE_RXPARITY && constants::CeFrame == CE_FRAME
              && constants::CeBreak == CE_BREAK && constants::CeTxFull == CE_TXFULL);
static_assert(constants::ErrorFileNotFound == ERROR_FILE_NOT_FOUND
              && constants::ErrorPathNotFound == ERROR_PATH_NOT_FOUND
              && constants::ErrorAccessDenied == ERROR_ACCESS_DENIED
              && constants::ErrorBadCommand == ERROR_BAD_COMMAND
              && constants::ErrorGenFailure == ERROR_GEN_FAILURE
              && constants::ErrorSharingViolation == ERROR_SHARING_VIOLATION
              && constants::ErrorOperationAborted == ERROR_OPERATION_ABORTED
              && constants::ErrorDeviceNotConnected == ERROR_DEVICE_NOT_CONNECTED
              && constants::ErrorDeviceRemoved == ERROR_DEVICE_REMOVED);
static_assert(constants::MaxDword == MAXDWORD);

namespace {

// Owns a kernel handle; CreateFileW's INVALID_HANDLE_VALUE counts as none.
class Handle
{
public:
    Handle() = default;
    explicit Handle(HANDLE handle)
        : m_handle(handle == INVALID_HANDLE_VALUE ? nullptr : handle)
    {
    }
    Handle(Handle &&other) noexcept
        : m_handle(std::exchange(other.m_handle, nullptr))
    {
    }
    Handle &operator=(Handle &&other) noexcept
    {
        if (this != &other) {
            reset();
            m_handle = std::exchange(other.m_handle, nullptr);
        }
        return *this;
    }
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;
    ~Handle() { reset(); }

    HANDLE get() const { return m_handle; }
    explicit operator bool() const { return m_handle != nullptr; }
    void reset() noexcept
    {
        if (m_handle)
            CloseHandle(m_handle);
        m_handle = nullptr;
    }

private:
    HANDLE m_handle = nullptr;
};

Handle ManualResetEvent()
{
    return Handle(CreateEventW(nullptr, TRUE, FALSE, nullptr));
}

// The system's own text for an error code, as UTF-8, line break included.
std::string RawSystemMessage(DWORD code)
{
    wchar_t *buffer = nullptr;
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM
                                            | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, code, 0, reinterpret_cast<LPWSTR>(&buffer), 0,
                                        nullptr);
    std::string text;
    if (length > 0 && buffer) {
        const int size = WideCharToMultiByte(CP_UTF8, 0, buffer, static_cast<int>(length), nullptr,
                                             0, nullptr, nullptr);
        if (size > 0) {
            text.resize(static_cast<std::size_t>(size));
            WideCharToMultiByte(CP_UTF8, 0, buffer, static_cast<int>(length), text.data(), size,
                                nullptr, nullptr);
        }
    }
    if (buffer)
        LocalFree(buffer);
    return text;
}

[[noreturn]] void Fail(int number, std::string_view what, int port, DWORD code)
{
    throw PortFailure(number, what, port, code, RawSystemMessage(code));
}

void ApplyFields(DCB &dcb, const DcbFields &fields)
{
    dcb.BaudRate = fields.BaudRate;
    dcb.ByteSize = fields.ByteSize;
    dcb.Parity = fields.Parity;
    dcb.StopBits = fields.StopBits;
    dcb.fBinary = fields.fBinary;
    dcb.fParity = fields.fParity;
    dcb.fOutxCtsFlow = fields.fOutxCtsFlow;
    dcb.fOutxDsrFlow = fields.fOutxDsrFlow;
    dcb.fDtrControl = fields.fDtrControl;
    dcb.fDsrSensitivity = fields.fDsrSensitivity;
    dcb.fOutX = fields.fOutX;
    dcb.fInX = fields.fInX;
    dcb.fErrorChar = fields.fErrorChar;
    dcb.fNull = fields.fNull;
    dcb.fRtsControl = fields.fRtsControl;
    dcb.fAbortOnError = fields.fAbortOnError;
    dcb.XonChar = fields.XonChar;
    dcb.XoffChar = fields.XoffChar;
}

// Line settings and timeouts; 0 or the error of the call that failed.
DWORD Configure(HANDLE device, const DcbFields &fields)
{
    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    if (!GetCommState(device, &dcb))
        return GetLastError();
    ApplyFields(dcb, fields);
    if (!SetCommState(device, &dcb))
        return GetLastError();
    const CommTimeoutValues values = CommTimeoutsFor(fields);
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = values.ReadIntervalTimeout;
    timeouts.ReadTotalTimeoutMultiplier = values.ReadTotalTimeoutMultiplier;
    timeouts.ReadTotalTimeoutConstant = values.ReadTotalTimeoutConstant;
    timeouts.WriteTotalTimeoutMultiplier = values.WriteTotalTimeoutMultiplier;
    timeouts.WriteTotalTimeoutConstant = values.WriteTotalTimeoutConstant;
    if (!SetCommTimeouts(device, &timeouts))
        return GetLastError();
    return 0;
}

class Win32SerialPort final : public SerialEngine
{
public:
    Win32SerialPort() = default;
    Win32SerialPort(const Win32SerialPort &) = delete;
    Win32SerialPort &operator=(const Win32SerialPort &) = delete;
    ~Win32SerialPort() override { close(); }

    void open(int port, const DcbFields &fields, EventHandler onEvent) override
    {
        if (isOpen())
            throw SerialFailure{comm_error::PortInUse, comm_text::PortInUse};
        if (port < 1)
            throw OpenFailure(port, 0, {});
        const std::wstring path = PortDevicePath(port);
        Handle device(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
        if (!device) {
            const DWORD code = GetLastError();
            throw OpenFailure(port, code, RawSystemMessage(code));
        }
        if (const DWORD code = Configure(device.get(), fields))
            Fail(comm_error::SettingsRejected, "Cannot apply the line settings to", port, code);
        if (!PurgeComm(device.get(), PURGE_RXABORT | PURGE_RXCLEAR | PURGE_TXABORT | PURGE_TXCLEAR))
            Fail(comm_error::CannotOpen, "Cannot open", port, GetLastError());
        if (!SetCommMask(device.get(), WatchedEventMask))
            Fail(comm_error::CannotOpen, "Cannot open", port, GetLastError());
        Handle stop = ManualResetEvent();
        Handle waitDone = ManualResetEvent();
        Handle readDone = ManualResetEvent();
        Handle writeDone = ManualResetEvent();
        if (!stop || !waitDone || !readDone || !writeDone)
            Fail(comm_error::CannotOpen, "Cannot open", port, GetLastError());

        m_port = port;
        m_device = std::move(device);
        m_stop = std::move(stop);
        m_waitDone = std::move(waitDone);
        m_readDone = std::move(readDone);
        m_writeDone = std::move(writeDone);
        m_onEvent = std::move(onEvent);
        m_lostReported = false;
        m_swallowedErrors = 0;
        try {
            m_worker = std::thread([this] { watchLine(); });
        } catch (const std::system_error &) {
            release();
            throw SerialFailure{comm_error::CannotOpen,
                                "Cannot open COM" + std::to_string(port) + ": no thread to watch the line"};
        }
    }

    void close() noexcept override
    {
        if (!m_device)
            return;
        if (m_worker.joinable()) {
            {
                // The worker starts each wait under this lock: a wait is either
                // started before the mask changes, which completes it, or not at all.
                const std::lock_guard<std::mutex> lock(m_waitStart);
                SetEvent(m_stop.get());
                // Completes a pending WaitCommEvent even where cancelling it does not.
                SetCommMask(m_device.get(), 0);
            }
            m_worker.join();
        }
        release();
    }

    bool isOpen() const override { return static_cast<bool>(m_device); }

    void write(std::string_view bytes) override
    {
        requireOpen();
        if (bytes.empty())
            return;
        if (bytes.size() > MAXDWORD)
            throw SerialFailure{comm_error::WriteFailed, "Too many bytes for one write"};
        const DWORD size = static_cast<DWORD>(bytes.size());
        OVERLAPPED overlapped{};
        overlapped.hEvent = m_writeDone.get();
        if (!WriteFile(m_device.get(), bytes.data(), size, nullptr, &overlapped)) {
            const DWORD code = GetLastError();
            if (code != ERROR_IO_PENDING)
                failIo(comm_error::WriteFailed, "Cannot write to", code);
        }
        DWORD sent = 0;
        if (!GetOverlappedResult(m_device.get(), &overlapped, &sent, TRUE))
            failIo(comm_error::WriteFailed, "Cannot write to", GetLastError());
        if (sent != size)
            throw SerialFailure{comm_error::WriteFailed, "Cannot write to COM" + std::to_string(m_port)
                                                             + ": the device takes no more data"};
    }

    std::size_t bytesWaiting() override
    {
        requireOpen();
        DWORD errors = 0;
        COMSTAT status{};
        if (!ClearCommError(m_device.get(), &errors, &status)) {
            const DWORD code = GetLastError();
            reportLost();
            Fail(comm_error::ReadFailed, "Cannot read from", m_port, code);
        }
        // Clearing them here would hide them from the worker's EV_ERR.
        m_swallowedErrors |= errors;
        return status.cbInQue;
    }

    std::string read(std::size_t maxBytes) override
    {
        const std::size_t waiting = bytesWaiting();
        const std::size_t wanted = maxBytes == 0 || maxBytes > waiting ? waiting : maxBytes;
        if (wanted == 0)
            return {};
        std::string bytes(wanted, '\0');
        OVERLAPPED overlapped{};
        overlapped.hEvent = m_readDone.get();
        if (!ReadFile(m_device.get(), bytes.data(), static_cast<DWORD>(wanted), nullptr, &overlapped)) {
            const DWORD code = GetLastError();
            if (code != ERROR_IO_PENDING)
                failIo(comm_error::ReadFailed, "Cannot read from", code);
        }
        DWORD received = 0;
        if (!GetOverlappedResult(m_device.get(), &overlapped, &received, TRUE))
            failIo(comm_error::ReadFailed, "Cannot read from", GetLastError());
        bytes.resize(received);
        return bytes;
    }

private:
    void requireOpen() const
    {
        if (!isOpen())
            throw SerialFailure{comm_error::PortNotOpen, comm_text::PortNotOpen};
    }

    [[noreturn]] void failIo(int number, std::string_view what, DWORD code)
    {
        if (IsVanishedDeviceError(code))
            reportLost();
        Fail(number, what, m_port, code);
    }

    void reportLost() noexcept
    {
        if (!m_lostReported.exchange(true) && m_onEvent)
            m_onEvent(comm_event::DeviceLost);
    }

    bool stopping() const { return WaitForSingleObject(m_stop.get(), 0) == WAIT_OBJECT_0; }

    // The worker: one WaitCommEvent at a time until close() or a failure.
    void watchLine()
    {
        const HANDLE device = m_device.get();
        const HANDLE wakers[] = {m_stop.get(), m_waitDone.get()};
        while (true) {
            // Both stay alive until the wait has completed or been cancelled.
            DWORD mask = 0;
            OVERLAPPED overlapped{};
            overlapped.hEvent = m_waitDone.get();
            ResetEvent(overlapped.hEvent);
            BOOL completed = FALSE;
            DWORD code = 0;
            {
                // A wait started after close() cleared the mask would never end.
                const std::lock_guard<std::mutex> lock(m_waitStart);
                if (stopping())
                    return;
                completed = WaitCommEvent(device, &mask, &overlapped);
                code = completed ? 0 : GetLastError();
            }
            if (!completed) {
                if (code != ERROR_IO_PENDING) {
                    lineWatchFailed();
                    return;
                }
                const DWORD woken = WaitForMultipleObjects(2, wakers, FALSE, INFINITE);
                DWORD unused = 0;
                if (woken != WAIT_OBJECT_0 + 1) {
                    CancelIoEx(device, &overlapped);
                    GetOverlappedResult(device, &overlapped, &unused, TRUE);
                    if (woken != WAIT_OBJECT_0)
                        lineWatchFailed();
                    return;
                }
                if (!GetOverlappedResult(device, &overlapped, &unused, FALSE)) {
                    lineWatchFailed();
                    return;
                }
            }
            if (stopping())
                return;
            std::uint32_t errors = 0;
            if (mask & EV_ERR) {
                DWORD fresh = 0;
                COMSTAT status{};
                if (!ClearCommError(device, &fresh, &status)) {
                    lineWatchFailed();
                    return;
                }
                errors = fresh | m_swallowedErrors.exchange(0);
            }
            for (const std::int16_t code : EventCodesFor(mask, errors))
                m_onEvent(code);
        }
    }

    // A wait that fails outside close() leaves the line unwatched: whatever the
    // code, the link can no longer be supervised, so it counts as lost.
    void lineWatchFailed() noexcept
    {
        if (!stopping())
            reportLost();
    }

    void release() noexcept
    {
        m_device.reset();
        m_stop.reset();
        m_waitDone.reset();
        m_readDone.reset();
        m_writeDone.reset();
        m_onEvent = nullptr;
    }

    int m_port = 0;
    Handle m_device;
    Handle m_stop;       // set by close()
    Handle m_waitDone;   // the worker's WaitCommEvent
    Handle m_readDone;
    Handle m_writeDone;
    EventHandler m_onEvent;
    std::thread m_worker;
    std::mutex m_waitStart; // between close() and the worker's start of a wait
    std::atomic<bool> m_lostReported = false;
    // Error flags that bytesWaiting() took from ClearCommError.
    std::atomic<std::uint32_t> m_swallowedErrors = 0;
};

} // namespace

std::unique_ptr<SerialEngine> CreateWin32SerialEngine()
{
    return std::make_unique<Win32SerialPort>();
}

} // namespace platform::win32
