#pragma once

#include "platform/serial/serial_device.h"
#include "platform/serial/win32/win32_serial_port.h"

#include <memory>

namespace platform {

// The system's COMn on Windows, over the Qt-free Win32 engine. The engine's
// line events come from its worker thread and are queued to this object's
// thread; a device that goes away, or any failed read or write on the open
// port, closes the port and then reports comm_event::DeviceLost, once.
class Win32SerialDevice final : public SerialDevice
{
    Q_OBJECT

public:
    // Any engine will do, so that the adapter is tested without Windows.
    explicit Win32SerialDevice(std::unique_ptr<win32::SerialEngine> engine, QObject *parent = nullptr);
    ~Win32SerialDevice() override;

    // 8015 for a combination of settings that the DCB refuses.
    void open(const PortTarget &target, const LineSettings &settings, const QString &settingsText) override;
    void close() override;
    bool isOpen() const override;
    QByteArray read(qint16 maxBytes) override;
    void write(const QByteArray &bytes) override;
    qint64 count() override;

private:
    void deliver(quint64 opening, qint16 code);
    void loseDevice();

    std::unique_ptr<win32::SerialEngine> m_engine;
    // Numbers the openings, so that an event queued before a close is dropped
    // instead of reaching a later opening.
    quint64 m_opening = 0;
};

} // namespace platform
