#include "platform/win32_comm_control.h"

#include "platform/serial_settings.h"

#include <algorithm>
#include <string>
#include <string_view>

namespace platform {

namespace {

CommError ToCommError(const win32::SerialFailure &failure)
{
    return CommError{failure.number, QString::fromStdString(failure.description)};
}

CommError InvalidPropertyValue()
{
    return CommError{comm_error::InvalidPropertyValue, QStringLiteral("Invalid property value")};
}

} // namespace

Win32CommControl::Win32CommControl(std::unique_ptr<win32::SerialEngine> engine, QObject *parent)
    : CommControl(parent)
    , m_engine(std::move(engine))
{
}

Win32CommControl::~Win32CommControl()
{
    // Joins the worker, so none of its events can name this object afterwards.
    m_engine->close();
}

void Win32CommControl::refuseWhileOpen() const
{
    if (m_engine->isOpen())
        throw CommError{comm_error::PortAlreadyOpen,
                        QStringLiteral("Operation not valid while the port is opened")};
}

void Win32CommControl::setCommPort(qint16 port)
{
    refuseWhileOpen();
    m_commPort = port;
}

void Win32CommControl::setSettings(const QString &settings)
{
    refuseWhileOpen();
    if (!ParseLineSettings(settings.toStdString()))
        throw InvalidPropertyValue();
    m_settings = settings;
}

void Win32CommControl::setInputMode(qint32 mode)
{
    if (mode != 0 && mode != 1)
        throw InvalidPropertyValue();
}

void Win32CommControl::setInputLen(qint16 length)
{
    if (length < 0)
        throw InvalidPropertyValue();
    m_inputLen = length;
}

void Win32CommControl::setPortOpen(bool open)
{
    if (!open) {
        m_engine->close();
        return;
    }
    if (m_engine->isOpen())
        throw CommError{comm_error::PortInUse, QStringLiteral("Port already open")};
    if (m_commPort < 1)
        throw ToCommError(win32::OpenFailure(m_commPort, 0, {}));
    const auto fields = win32::DcbFieldsFromSettings(m_settings.toStdString());
    if (!fields)
        throw CommError{comm_error::SettingsRejected,
                        QStringLiteral("COM%1 does not accept the settings %2")
                            .arg(QString::number(m_commPort), m_settings)};
    const quint64 opening = ++m_opening;
    try {
        // Runs on the worker thread: only queue, touch nothing.
        m_engine->open(m_commPort, *fields, [this, opening](std::int16_t code) {
            QMetaObject::invokeMethod(
                this, [this, opening, code] { deliver(opening, code); }, Qt::QueuedConnection);
        });
    } catch (const win32::SerialFailure &failure) {
        throw ToCommError(failure);
    }
}

bool Win32CommControl::portOpen() const
{
    return m_engine->isOpen();
}

QByteArray Win32CommControl::input()
{
    if (!m_engine->isOpen())
        return {};
    try {
        const std::string bytes = m_engine->read(static_cast<std::size_t>(m_inputLen));
        return QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size()));
    } catch (const win32::SerialFailure &) {
        loseDevice();
        return {};
    }
}

void Win32CommControl::setOutput(const QByteArray &bytes)
{
    if (!m_engine->isOpen())
        throw CommError{comm_error::PortNotOpen,
                        QStringLiteral("Operation valid only when the port is open")};
    try {
        m_engine->write(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
    } catch (const win32::SerialFailure &failure) {
        loseDevice();
        throw ToCommError(failure);
    }
}

qint16 Win32CommControl::inBufferCount()
{
    if (!m_engine->isOpen())
        return 0;
    try {
        return static_cast<qint16>(std::min<std::size_t>(m_engine->bytesWaiting(), 32767));
    } catch (const win32::SerialFailure &) {
        loseDevice();
        return 0;
    }
}

void Win32CommControl::deliver(quint64 opening, qint16 code)
{
    if (opening != m_opening || !m_engine->isOpen())
        return;
    if (code == comm_event::DeviceLost) {
        loseDevice();
        return;
    }
    postCommEvent(code);
}

void Win32CommControl::loseDevice()
{
    m_engine->close();
    postCommEvent(comm_event::DeviceLost);
}

} // namespace platform
