#include "platform/serial/win32/win32_comm_control.h"

#include <string>
#include <string_view>

namespace platform {

namespace {

CommError ToCommError(const win32::SerialFailure &failure)
{
    return CommError{failure.number, QString::fromStdString(failure.description)};
}

} // namespace

Win32CommControl::Win32CommControl(std::unique_ptr<win32::SerialEngine> engine, QObject *parent)
    : DeviceCommControl(parent)
    , m_engine(std::move(engine))
{
}

Win32CommControl::~Win32CommControl()
{
    // Joins the worker, so none of its events can name this object afterwards.
    m_engine->close();
}

void Win32CommControl::openDevice(int port, const LineSettings &, const QString &settingsText)
{
    const auto fields = win32::DcbFieldsFromSettings(settingsText.toStdString());
    if (!fields)
        throw CommError{comm_error::SettingsRejected,
                        QStringLiteral("COM%1 does not accept the settings %2")
                            .arg(QString::number(port), settingsText)};
    const quint64 opening = ++m_opening;
    try {
        // Runs on the worker thread: only queue, touch nothing.
        m_engine->open(port, *fields, [this, opening](std::int16_t code) {
            QMetaObject::invokeMethod(
                this, [this, opening, code] { deliver(opening, code); }, Qt::QueuedConnection);
        });
    } catch (const win32::SerialFailure &failure) {
        throw ToCommError(failure);
    }
}

void Win32CommControl::closeDevice()
{
    m_engine->close();
}

bool Win32CommControl::deviceOpen() const
{
    return m_engine->isOpen();
}

QByteArray Win32CommControl::readDevice(qint16 maxBytes)
{
    try {
        const std::string bytes = m_engine->read(static_cast<std::size_t>(maxBytes));
        return QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size()));
    } catch (const win32::SerialFailure &) {
        loseDevice();
        return {};
    }
}

void Win32CommControl::writeDevice(const QByteArray &bytes)
{
    try {
        m_engine->write(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
    } catch (const win32::SerialFailure &failure) {
        loseDevice();
        throw ToCommError(failure);
    }
}

qint64 Win32CommControl::countDevice()
{
    try {
        return static_cast<qint64>(m_engine->bytesWaiting());
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
