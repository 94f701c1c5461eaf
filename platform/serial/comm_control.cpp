#include "platform/serial/comm_control.h"

#include <algorithm>

namespace platform {

namespace {

CommError Error(int number, const char *description)
{
    return CommError{number, QString::fromLatin1(description)};
}

} // namespace

void CommControl::postCommEvent(qint16 code)
{
    QMetaObject::invokeMethod(
        this,
        [this, code] {
            m_commEvent = code;
            emit OnComm();
        },
        Qt::QueuedConnection);
}

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
        closeDevice();
        return;
    }
    if (portOpen())
        throw Error(comm_error::PortInUse, comm_text::PortInUse);
    if (m_commPort < 1)
        throw Error(comm_error::InvalidPortNumber, comm_text::InvalidPortNumber);
    openDevice(m_commPort, m_settings, m_settingsText);
}

bool DeviceCommControl::portOpen() const
{
    return deviceOpen();
}

QByteArray DeviceCommControl::input()
{
    if (!portOpen())
        return QByteArray();
    return readDevice(m_inputLen);
}

void DeviceCommControl::setOutput(const QByteArray &bytes)
{
    if (!portOpen())
        throw Error(comm_error::PortNotOpen, comm_text::PortNotOpen);
    writeDevice(bytes);
}

qint16 DeviceCommControl::inBufferCount()
{
    if (!portOpen())
        return 0;
    return qint16(std::clamp<qint64>(countDevice(), 0, MaxInBufferCount));
}

} // namespace platform
