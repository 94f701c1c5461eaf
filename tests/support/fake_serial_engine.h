#pragma once

#include "platform/serial/comm_codes.h"
#include "platform/serial/comm_control.h"
#include "platform/serial/win32/win32_serial_device.h"
#include "platform/serial/win32/win32_serial_port.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <string>

// What the fake engine saw and what it is to do; outlives the engine, which
// the control owns.
struct EngineScript
{
    bool open = false;
    int opens = 0;
    int closes = 0;
    int port = 0;
    platform::win32::DcbFields fields;
    platform::win32::EventHandler handler;
    std::string written;
    std::string received;               // waiting to be read
    std::size_t waitingOverride = 0;    // a count larger than what is there
    std::optional<platform::win32::SerialFailure> openFailure;
    std::optional<platform::win32::SerialFailure> ioFailure;  // every read, write and count fails
    bool reportLostWithFailure = false;      // as the engine does for vanished devices
    std::string probeAnswer;                 // received for each probe byte written, as a base answers
};

// Stands in for the Win32 engine; handler() is what its worker would call.
class FakeEngine final : public platform::win32::SerialEngine
{
public:
    explicit FakeEngine(std::shared_ptr<EngineScript> script)
        : m_script(std::move(script))
    {
    }

    void open(int port, const platform::win32::DcbFields &fields, platform::win32::EventHandler onEvent) override
    {
        if (m_script->openFailure)
            throw *m_script->openFailure;
        ++m_script->opens;
        m_script->open = true;
        m_script->port = port;
        m_script->fields = fields;
        m_script->handler = std::move(onEvent);
    }
    void close() noexcept override
    {
        if (!m_script->open)
            return;
        ++m_script->closes;
        m_script->open = false;
    }
    bool isOpen() const override { return m_script->open; }
    void write(std::string_view bytes) override
    {
        failIfScripted();
        m_script->written += bytes;
        for (const char byte : bytes) {
            if (static_cast<unsigned char>(byte) == 0xC0)
                m_script->received += m_script->probeAnswer;
        }
    }
    std::size_t bytesWaiting() override
    {
        failIfScripted();
        return std::max(m_script->received.size(), m_script->waitingOverride);
    }
    std::string read(std::size_t maxBytes) override
    {
        failIfScripted();
        const std::size_t taken = maxBytes == 0 ? m_script->received.size() : maxBytes;
        std::string bytes = m_script->received.substr(0, taken);
        m_script->received.erase(0, bytes.size());
        return bytes;
    }

private:
    void failIfScripted()
    {
        if (!m_script->ioFailure)
            return;
        if (m_script->reportLostWithFailure)
            m_script->handler(platform::comm_event::DeviceLost);
        throw *m_script->ioFailure;
    }

    std::shared_ptr<EngineScript> m_script;
};


// The serial control as Windows builds it, COM N being the system's COMn, with
// a fake engine behind every opening.
inline std::unique_ptr<platform::DeviceCommControl> ControlOverFakeEngine(std::shared_ptr<EngineScript> script)
{
    const auto systemPort = [](int number) {
        platform::PortTarget target;
        target.kind = platform::PortTarget::Kind::SystemPort;
        target.number = number;
        return target;
    };
    return std::make_unique<platform::DeviceCommControl>(systemPort, [script](const platform::PortTarget &) {
        return platform::CreateWin32SerialDevice(std::make_unique<FakeEngine>(script));
    });
}
