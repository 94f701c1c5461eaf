#include "platform/serial/win32/win32_serial_device.h"

#include "platform/serial/comm_codes.h"

#include <string>
#include <string_view>

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

namespace {

CommError ToCommError(const win32::SerialFailure &failure)
{
    return CommError{failure.number, QString::fromStdString(failure.description)};
}

} // namespace

Win32SerialDevice::Win32SerialDevice(std::unique_ptr<win32::SerialEngine> engine, QObject *parent)
    : SerialDevice(parent)
    , m_engine(std::move(engine))
{
}

Win32SerialDevice::~Win32SerialDevice()
{
    // Joins the worker, so none of its events can name this object afterwards.
    m_engine->close();
}

void Win32SerialDevice::open(const PortTarget &target, const LineSettings &, const QString &settingsText)
{
    if (target.kind != PortTarget::Kind::SystemPort)
        throw CommError{comm_error::InvalidPortNumber, QString::fromLatin1(comm_text::InvalidPortNumber)};
    const int port = target.number;
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

void Win32SerialDevice::close()
{
    m_engine->close();
}

bool Win32SerialDevice::isOpen() const
{
    return m_engine->isOpen();
}

QByteArray Win32SerialDevice::read(qint16 maxBytes)
{
    try {
        const std::string bytes = m_engine->read(static_cast<std::size_t>(maxBytes));
        return QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size()));
    } catch (const win32::SerialFailure &) {
        loseDevice();
        return {};
    }
}

void Win32SerialDevice::write(const QByteArray &bytes)
{
    try {
        m_engine->write(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
    } catch (const win32::SerialFailure &failure) {
        loseDevice();
        throw ToCommError(failure);
    }
}

qint64 Win32SerialDevice::count()
{
    try {
        return static_cast<qint64>(m_engine->bytesWaiting());
    } catch (const win32::SerialFailure &) {
        loseDevice();
        return 0;
    }
}

void Win32SerialDevice::deliver(quint64 opening, qint16 code)
{
    if (opening != m_opening || !m_engine->isOpen())
        return;
    if (code == comm_event::DeviceLost) {
        loseDevice();
        return;
    }
    emit lineEvent(code);
}

void Win32SerialDevice::loseDevice()
{
    m_engine->close();
    emit lineEvent(comm_event::DeviceLost);
}

std::unique_ptr<SerialDevice> CreateWin32SerialDevice(std::unique_ptr<win32::SerialEngine> engine)
{
    return std::make_unique<Win32SerialDevice>(std::move(engine));
}

} // namespace platform

#include "win32_serial_device.moc"
