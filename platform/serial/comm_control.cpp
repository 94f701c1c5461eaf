#include "platform/serial/comm_control.h"

#include <algorithm>
#include <utility>

namespace platform {

namespace {

CommError Error(int number, const char *description)
{
    return CommError{number, QString::fromLatin1(description)};
}

} // namespace

// An event already waiting for delivery is not queued again: a line that
// keeps reporting the same thing (a flood from a broken server, say) costs
// one queued event, not one per report, and the window's handling of it is
// the same.
void CommControl::postCommEvent(qint16 code)
{
    if (m_queued.contains(code))
        return;
    m_queued.append(code);
    QMetaObject::invokeMethod(
        this,
        [this, code] {
            m_queued.removeOne(code);
            m_commEvent = code;
            emit OnComm();
        },
        Qt::QueuedConnection);
}

DeviceCommControl::DeviceCommControl(PortResolver resolve, DeviceFactory makeDevice, QObject *parent)
    : CommControl(parent)
    , m_resolve(std::move(resolve))
    , m_makeDevice(std::move(makeDevice))
{
}

DeviceCommControl::~DeviceCommControl() = default;

void DeviceCommControl::refuseWhileOpen() const
{
    if (portOpen())
        throw Error(comm_error::PortAlreadyOpen, comm_text::PortAlreadyOpen);
}

void DeviceCommControl::setCommPort(qint16 port)
{
    refuseWhileOpen();
    m_commPort = port;
}

void DeviceCommControl::setSettings(const QString &settings)
{
    refuseWhileOpen();
    const QByteArray text = settings.toUtf8();
    const auto parsed = ParseLineSettings(std::string_view(text.constData(), std::size_t(text.size())));
    if (!parsed)
        throw Error(comm_error::InvalidPropertyValue, comm_text::InvalidPropertyValue);
    m_settings = *parsed;
    m_settingsText = settings;
}

void DeviceCommControl::setInputMode(qint32 mode)
{
    if (mode != 0 && mode != 1)
        throw Error(comm_error::InvalidPropertyValue, comm_text::InvalidPropertyValue);
}

void DeviceCommControl::setInputLen(qint16 length)
{
    if (length < 0)
        throw Error(comm_error::InvalidPropertyValue, comm_text::InvalidPropertyValue);
    m_inputLen = length;
}

void DeviceCommControl::setPortOpen(bool open)
{
    if (!open) {
        if (m_device)
            m_device->close();
        return;
    }
    if (portOpen())
        throw Error(comm_error::PortInUse, comm_text::PortInUse);
    if (m_commPort < 1)
        throw Error(comm_error::InvalidPortNumber, comm_text::InvalidPortNumber);
    const PortTarget target = this->target(m_commPort);
    if (target.kind == PortTarget::Kind::Invalid)
        throw CommError{comm_error::InvalidPortNumber, target.description};

    // Each opening gets a device of its own: nothing of an earlier one, its
    // kind or its queued events, reaches the next.
    m_device.reset();
    m_device = m_makeDevice(target);
    connect(m_device.get(), &SerialDevice::lineEvent, this, &DeviceCommControl::postCommEvent);
    m_device->open(target, m_settings, m_settingsText);
}

bool DeviceCommControl::portOpen() const
{
    return m_device && m_device->isOpen();
}

QByteArray DeviceCommControl::input()
{
    if (!portOpen())
        return QByteArray();
    return m_device->read(m_inputLen);
}

void DeviceCommControl::setOutput(const QByteArray &bytes)
{
    if (!portOpen())
        throw Error(comm_error::PortNotOpen, comm_text::PortNotOpen);
    m_device->write(bytes);
}

qint16 DeviceCommControl::inBufferCount()
{
    if (!portOpen())
        return 0;
    return qint16(std::clamp<qint64>(m_device->count(), 0, MaxInBufferCount));
}

PortTarget DeviceCommControl::target(qint16 port) const
{
    return m_resolve(port);
}

} // namespace platform
