#include "frm_FaultsAndMods.h"

#include "colour_button.h"
#include "described_menu_item.h"
#include "faults_and_mods_layout.h"
#include "item_state.h"
#include "panel_texts.h"
#include "app_settings/settings_keys.h"
#include "platform/settings/settings_store.h"
#include "platform/ui/sleep.h"
#include "platform/ui/busy_cursor.h"
#include "platform/ui/caption_fit.h"
#include "platform/ui/form_support.h"
#include "platform/ui/message_box.h"

#include <QAction>
#include <QCloseEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLayout>
#include <QLocale>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QTimer>
#include <cmath>
#include <limits>

namespace layout = faults_and_mods_layout;
namespace texts = panel_texts;
namespace protocol = tarvex_protocol;
using platform::CommError;
using platform::MessageIcon;
using platform::SettingsStore;

namespace {

constexpr platform::OleColour StatusRed = platform::RgbColour(255, 0, 0);
constexpr platform::OleColour StatusGreen = platform::RgbColour(0, 192, 0);
constexpr platform::OleColour StatusBackground =
    platform::SystemColour(platform::SystemColourActiveBorder);
const QString StatusFontFamily = QStringLiteral("MS Sans Serif");

QByteArray byteText(quint8 code)
{
    return QByteArray(1, static_cast<char>(code));
}

void setLabelColours(QLabel *label, platform::OleColour text, platform::OleColour background)
{
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, platform::ResolveOleColour(text, palette));
    palette.setColor(QPalette::Window, platform::ResolveOleColour(background, palette));
    label->setPalette(palette);
    label->setAutoFillBackground(true);
}

// A stored port is compared with numbers by its value: "07", "7.0" and "7e0"
// are all port 7. A text without a numeric value has none.
std::optional<double> portValue(const QString &text)
{
    bool ok = false;
    const double value = QLocale::c().toDouble(text.trimmed(), &ok);
    return ok && std::isfinite(value) ? std::optional<double>(value) : std::nullopt;
}

// A device path comes from a settings file: cut where a tool tip would run off the screen.
constexpr qsizetype ShownPathLength = 160;

} // namespace

frm_FaultsAndMods::frm_FaultsAndMods(std::unique_ptr<platform::CommControl> commControl,
                                     platform::MessageBoxes &messages, QWidget *parent)
    : QMainWindow(parent)
    , m_messages(messages)
{
    setAttribute(Qt::WA_DeleteOnClose);
    setObjectName(QStringLiteral("frm_FaultsAndMods"));
    setWindowTitle(texts::WindowCaption);
    platform::SetUpFixedWindow(this);

    // Qt's parent ownership replaces the unique_ptr: any parent the caller gave
    // is dropped, and the window is the control's one owner.
    MSCommObject = commControl.release();
    MSCommObject->setParent(this);
    connect(MSCommObject, &platform::CommControl::OnComm, this, &frm_FaultsAndMods::MSCommObject_OnComm);

    TimerConnection = new QTimer(this);
    TimerConnection->setInterval(protocol::SettlingMs);
    connect(TimerConnection, &QTimer::timeout, this, &frm_FaultsAndMods::TimerConnection_Timer);

    createControls();
    createMenus();
    // The menu bar sits above the client area, which keeps its size.
    layout()->setSizeConstraint(QLayout::SetFixedSize);

    Form_Load();
}

frm_FaultsAndMods::~frm_FaultsAndMods() = default;

void frm_FaultsAndMods::createControls()
{
    auto *client = new QWidget(this);
    client->setFixedSize(platform::TwipsToPixels(layout::ClientWidth),
                         platform::TwipsToPixels(layout::ClientHeight));
    setCentralWidget(client);

    frame_Connection = new QGroupBox(texts::ConnectionFrame, client);
    frame_Connection->setObjectName(QStringLiteral("frame_Connection"));
    frame_Connection->setGeometry(layout::frame_Connection.toPixels());
    // Every frame is named for assistive tools: Qt would name a frame inside a
    // frame after the outer one's caption.
    frame_Connection->setAccessibleName(texts::ConnectionFrame);

    lbl_Connection = new QLabel(texts::Disconnected, frame_Connection);
    lbl_Connection->setObjectName(QStringLiteral("lbl_Connection"));
    lbl_Connection->setGeometry(layout::lbl_Connection.toPixels());
    lbl_Connection->setAlignment(Qt::AlignCenter);
    // A sunken single line: a plain box would take the text's colour.
    lbl_Connection->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    lbl_Connection->setLineWidth(1);
    lbl_Connection->setFont(platform::DesignFont(StatusFontFamily, 8.25, true));
    setLabelColours(lbl_Connection, StatusRed, StatusBackground);

    // On the window, not in the frame, but drawn in front of it.
    btn_Connect = new QPushButton(texts::Connect, client);
    btn_Connect->setObjectName(QStringLiteral("btn_Connect"));
    btn_Connect->setGeometry(layout::btn_Connect.toPixels());
    connect(btn_Connect, &QPushButton::clicked, this, &frm_FaultsAndMods::btn_Connect_Click);

    btn_Disconnect = new QPushButton(texts::Disconnect, client);
    btn_Disconnect->setObjectName(QStringLiteral("btn_Disconnect"));
    btn_Disconnect->setGeometry(layout::btn_Disconnect.toPixels());
    btn_Disconnect->setEnabled(false);
    connect(btn_Disconnect, &QPushButton::clicked, this, &frm_FaultsAndMods::btn_Disconnect_Click);

    frame_BoardOptions = new QGroupBox(texts::BoardOptions, client);
    frame_BoardOptions->setObjectName(QStringLiteral("frame_BoardOptions"));
    frame_BoardOptions->setGeometry(layout::frame_BoardOptions.toPixels());
    frame_BoardOptions->setAccessibleName(texts::BoardOptions);

    frame_CircuitMods = new QGroupBox(texts::CircuitMods, frame_BoardOptions);
    frame_CircuitMods->setObjectName(QStringLiteral("frame_CircuitMods"));
    frame_CircuitMods->setGeometry(layout::frame_CircuitMods.toPixels());
    frame_CircuitMods->setAccessibleName(texts::CircuitMods);
    for (int index = 0; index < protocol::ModificationCount; ++index) {
        auto *button = new ColourButton(QString::number(index + 1), frame_CircuitMods);
        button->setObjectName(QStringLiteral("btn_Mod_%1").arg(index));
        button->setGeometry(layout::ItemButton(index, layout::ModColumns).toPixels());
        button->setAccessibleName(texts::ModName(index + 1));
        button->setToolTip(texts::ModName(index + 1));
        // Checked, for assistive tools, while the item is inserted.
        button->setOnColour(item_state::Inserted);
        connect(button, &QPushButton::clicked, this,
                [this, index] { btn_Mod_Click(static_cast<qint16>(index)); });
        btn_Mod[static_cast<std::size_t>(index)] = button;
    }

    frame_Faults = new QGroupBox(texts::Faults, frame_BoardOptions);
    frame_Faults->setObjectName(QStringLiteral("frame_Faults"));
    frame_Faults->setGeometry(layout::frame_Faults.toPixels());
    frame_Faults->setAccessibleName(texts::Faults);
    for (int index = 0; index < protocol::FaultCount; ++index) {
        auto *button = new ColourButton(QString::number(index + 1), frame_Faults);
        button->setObjectName(QStringLiteral("btn_Fault_%1").arg(index));
        button->setGeometry(layout::ItemButton(index, layout::FaultColumns).toPixels());
        button->setAccessibleName(texts::FaultName(index + 1));
        button->setToolTip(texts::FaultName(index + 1));
        button->setOnColour(item_state::Inserted);
        connect(button, &QPushButton::clicked, this,
                [this, index] { btn_Fault_Click(static_cast<qint16>(index)); });
        btn_Fault[static_cast<std::size_t>(index)] = button;
    }

    btn_Reset = new QPushButton(texts::ResetAll, frame_BoardOptions);
    btn_Reset->setObjectName(QStringLiteral("btn_Reset"));
    btn_Reset->setGeometry(layout::btn_Reset.toPixels());
    connect(btn_Reset, &QPushButton::clicked, this, &frm_FaultsAndMods::btn_Reset_Click);

    lbl_info = new QLabel(texts::Info, frame_BoardOptions);
    lbl_info->setObjectName(QStringLiteral("lbl_info"));
    lbl_info->setGeometry(layout::lbl_info.toPixels());
    lbl_info->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    lbl_info->setWordWrap(true);
    lbl_info->setFont(platform::DesignFont(StatusFontFamily, 9.75, true));

    Label1 = new QLabel(texts::Version, client);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setGeometry(layout::Label1.toPixels());
    Label1->setAlignment(Qt::AlignRight | Qt::AlignTop);

    // Keyboard order: Connect, Disconnect, modifications, faults, Reset All.
    QWidget *previous = btn_Connect;
    const auto chain = [&previous](QWidget *next) {
        QWidget::setTabOrder(previous, next);
        previous = next;
    };
    chain(btn_Disconnect);
    for (ColourButton *button : btn_Mod)
        chain(button);
    for (ColourButton *button : btn_Fault)
        chain(button);
    chain(btn_Reset);

    // Frames in the classic look: an etched line with the caption set into its
    // top edge, whatever the style would draw. Set once the controls exist:
    // set before, it gives the controls inside a frame in a frame the
    // application's font instead of the window's.
    client->setStyleSheet(QStringLiteral(
        "QGroupBox { border: 2px groove palette(mid); margin-top: 6px; }"
        "QGroupBox::title { subcontrol-origin: margin; subcontrol-position: top left;"
        " left: 6px; padding: 0px 1px; }"));

    // The status label has room for the longest text it shows, on the last port.
    platform::FitCaptions(client, {{lbl_Connection, texts::ConnectedOnCom + QString::number(menu_Com.size())}});
}

void frm_FaultsAndMods::createMenus()
{
    menu_File = menuBar()->addMenu(texts::FileMenu);
    menu_File->setObjectName(QStringLiteral("menu_File"));
    menu_Exit = menu_File->addAction(texts::ExitItem);
    menu_Exit->setObjectName(QStringLiteral("menu_Exit"));
    connect(menu_Exit, &QAction::triggered, this, &frm_FaultsAndMods::menu_Exit_Click);

    menu_Option = menuBar()->addMenu(texts::OptionMenu);
    menu_Option->setObjectName(QStringLiteral("menu_Option"));
    menu_Port = menu_Option->addMenu(texts::PortMenu);
    menu_Port->setObjectName(QStringLiteral("menu_Port"));
    for (int port = 1; port <= static_cast<int>(menu_Com.size()); ++port) {
        auto *item = new DescribedMenuItem(texts::PortItem(port), menu_Port);
        menu_Port->addAction(item);
        item->setObjectName(QStringLiteral("menu_Com%1").arg(port));
        item->setCheckable(true);
        item->setChecked(port == 1);
        connect(item, &QAction::triggered, this, [this, port] { menu_Com_Click(port); });
        menu_Com[static_cast<std::size_t>(port - 1)] = item;
    }
    // The map may change while the window is open: read afresh at each opening,
    // and once now, for tools that look into the menu before it ever opens.
    menu_Port->setToolTipsVisible(true);
    connect(menu_Port, &QMenu::aboutToShow, this, &frm_FaultsAndMods::describePortItems);
    describePortItems();
}

void frm_FaultsAndMods::describePortItems()
{
    for (int port = 1; port <= static_cast<int>(menu_Com.size()); ++port)
        menu_Com[static_cast<std::size_t>(port - 1)]->setDescription(
            portTargetText(MSCommObject->target(static_cast<qint16>(port))));
}

// What a port item leads to, as the instructor and assistive tools are told.
QString frm_FaultsAndMods::portTargetText(const platform::PortTarget &target)
{
    switch (target.kind) {
    case platform::PortTarget::Kind::Device:
        return platform::ShownText(target.device, ShownPathLength);
    case platform::PortTarget::Kind::SystemPort:
        return texts::SystemPortTarget(target.number);
    case platform::PortTarget::Kind::Network:
        return target.tls ? texts::TlsTarget(platform::NetworkAddressText(target))
                          : platform::NetworkAddressText(target);
    case platform::PortTarget::Kind::Invalid:
        break;
    }
    // Already bounded and printable, and what Connect would say in its title.
    return target.description.isEmpty() ? texts::UnusableTarget : target.description;
}

void frm_FaultsAndMods::Form_Load()
{
    m_connectionArmed = false;
    m_selectedCommPort = SettingsStore::read(settings_keys::Application, settings_keys::SectionGeneral,
                                             settings_keys::CommPort, settings_keys::CommPortMissing);
    // Empty or not a number counts as never stored: port 1, stored at once.
    const std::optional<double> stored = portValue(m_selectedCommPort);
    if (!stored || *stored == -1) {
        m_selectedCommPort = QStringLiteral("1");
        // A store that cannot be written only costs the remembered port: the
        // window works on port 1 all the same, and unload tries again.
        SettingsStore::write(settings_keys::Application, settings_keys::SectionGeneral,
                             settings_keys::CommPort, m_selectedCommPort);
    }

    for (QAction *item : menu_Com)
        item->setChecked(false);
    const std::optional<double> port = portValue(m_selectedCommPort);
    for (int n = 1; n <= static_cast<int>(menu_Com.size()); ++n) {
        if (port && *port == n) {
            menu_Com[static_cast<std::size_t>(n - 1)]->setChecked(true);
            break;
        }
    }

    SetConnectedState(false);
    ResetFaultAndModButtons(false);
}

void frm_FaultsAndMods::btn_Connect_Click()
{
    // Every connect gets its settling time, even right after a quick disconnect.
    m_connectionArmed = false;
    try {
        MSCommObject->setCommPort(commPortNumber());
        MSCommObject->setSettings(QString::fromLatin1(protocol::LineSettings));
        MSCommObject->setInputMode(0);
        MSCommObject->setInputLen(0);
        {
            // A bench on the network may take seconds to answer.
            const platform::BusyCursor busy;
            MSCommObject->setPortOpen(true);
        }
        if (!MSCommObject->portOpen())
            return;
        MSCommObject->input(); // whatever waited before the probe is no answer
        MSCommObject->setOutput(byteText(protocol::Probe));
        platform::Sleep(protocol::ProbeWaitMs);
        const qint16 answered = MSCommObject->inBufferCount();
        if (answered < 1) {
            btn_Disconnect_Click();
            m_messages.show(this, texts::NotFoundText, texts::NotFoundTitle, MessageIcon::Exclamation);
            return;
        }
        // The answer's bytes stay in the buffer: only their number counts.
        MSCommObject->setOutput(byteText(protocol::ResetAll));
        showConnectionStatus(true);
        SetConnectedState(true);
        ResetFaultAndModButtons(true);
        TimerConnection->start();
    } catch (const CommError &error) {
        // Never keep a port that the window shows as disconnected.
        MSCommObject->setPortOpen(false);
        if (error.number == platform::comm_error::InvalidPortNumber)
            m_messages.show(this, texts::InvalidPortText, error.description, MessageIcon::Exclamation);
        // Any other failure (a port in use, say) leaves the window disconnected
        // without a word: there is nothing more the instructor is told.
    }
}

void frm_FaultsAndMods::btn_Disconnect_Click()
{
    MSCommObject->setPortOpen(false);
    m_connectionArmed = false;
    showConnectionStatus(false);
    SetConnectedState(false);
    ResetFaultAndModButtons(false);
}

void frm_FaultsAndMods::TimerConnection_Timer()
{
    m_connectionArmed = true;
    TimerConnection->stop();
}

void frm_FaultsAndMods::MSCommObject_OnComm()
{
    const qint16 code = MSCommObject->commEvent();
    const bool connected = !btn_Connect->isEnabled();
    switch (code) {
    case platform::comm_event::CTS:
    case platform::comm_event::DSR:
    case platform::comm_event::CD:
    case platform::comm_event::Break:
        if (m_connectionArmed && connected)
            connectionLost();
        break;
    case platform::comm_event::DeviceLost:
        // The adapter is gone: no byte can reach the base, settled or not.
        if (connected)
            connectionLost();
        break;
    default:
        break; // received data, ring, and line errors other than break
    }
}

void frm_FaultsAndMods::btn_Mod_Click(qint16 Index)
{
    toggleItem(btn_Mod.at(static_cast<std::size_t>(Index)),
               protocol::ModCommand(protocol::InsertBase, Index),
               protocol::ModCommand(protocol::RemoveBase, Index));
}

void frm_FaultsAndMods::btn_Fault_Click(qint16 Index)
{
    toggleItem(btn_Fault.at(static_cast<std::size_t>(Index)),
               protocol::FaultCommand(protocol::InsertBase, Index),
               protocol::FaultCommand(protocol::RemoveBase, Index));
}

void frm_FaultsAndMods::btn_Reset_Click()
{
    if (!MSCommObject->portOpen())
        return;
    sendCommand(protocol::ResetAll);
    if (MSCommObject->portOpen())
        ResetFaultAndModButtons(true);
}

void frm_FaultsAndMods::menu_Com_Click(int portNumber)
{
    for (int n = 1; n <= static_cast<int>(menu_Com.size()); ++n)
        menu_Com[static_cast<std::size_t>(n - 1)]->setChecked(n == portNumber);
    m_selectedCommPort = QString::number(portNumber);
}

void frm_FaultsAndMods::menu_Exit_Click()
{
    close();
}

void frm_FaultsAndMods::closeEvent(QCloseEvent *event)
{
    Form_Unload();
    event->accept();
}

void frm_FaultsAndMods::Form_Unload()
{
    // Nothing reports a failed write here: the window is going, and the next
    // start falls back to the port it finds.
    SettingsStore::write(settings_keys::Application, settings_keys::SectionGeneral,
                         settings_keys::CommPort, m_selectedCommPort);
    // Released with the window; nothing is sent.
    MSCommObject->setPortOpen(false);
}

void frm_FaultsAndMods::SetConnectedState(bool connected)
{
    btn_Connect->setEnabled(!connected);
    btn_Disconnect->setEnabled(connected);
    btn_Reset->setEnabled(connected);
    frame_Faults->setEnabled(connected);
    frame_CircuitMods->setEnabled(connected);
    frame_BoardOptions->setEnabled(connected);
    for (QAction *item : menu_Com)
        item->setEnabled(!connected);
}

void frm_FaultsAndMods::ResetFaultAndModButtons(bool enable)
{
    for (ColourButton *button : btn_Mod) {
        button->setBackColor(item_state::Removed);
        button->setEnabled(enable);
    }
    for (ColourButton *button : btn_Fault) {
        button->setBackColor(item_state::Removed);
        button->setEnabled(enable);
    }
}

// The label has no accessible name of its own, so each new text reaches
// assistive tools as a change of its name.
void frm_FaultsAndMods::showConnectionStatus(bool connected)
{
    if (connected) {
        setLabelColours(lbl_Connection, StatusGreen, StatusBackground);
        lbl_Connection->setText(texts::ConnectedOnCom + m_selectedCommPort);
    } else {
        setLabelColours(lbl_Connection, StatusRed, StatusBackground);
        lbl_Connection->setText(texts::Disconnected);
    }
}

void frm_FaultsAndMods::toggleItem(ColourButton *button, quint8 insertCode, quint8 removeCode)
{
    if (!MSCommObject->portOpen())
        return;
    quint8 code = 0;
    if (button->backColor() == item_state::Removed) {
        button->setBackColor(item_state::Inserted);
        code = insertCode;
    } else if (button->backColor() == item_state::Inserted) {
        button->setBackColor(item_state::Removed);
        code = removeCode;
    } else {
        return;
    }
    sendCommand(code);
}

// A byte that cannot be written means the base is out of reach: the panel must
// not show a change that never left the computer.
void frm_FaultsAndMods::sendCommand(quint8 code)
{
    try {
        MSCommObject->setOutput(byteText(code));
    } catch (const CommError &) {
        connectionLost();
    }
}

void frm_FaultsAndMods::connectionLost()
{
    btn_Disconnect_Click();
    m_messages.show(this, texts::LostText, texts::LostTitle, MessageIcon::Exclamation);
}

qint16 frm_FaultsAndMods::commPortNumber() const
{
    const std::optional<double> value = portValue(m_selectedCommPort);
    // Rounded half to even, as a conversion to a 16-bit integer does.
    const double port = value ? std::nearbyint(*value) : 0.0;
    if (!value || port < std::numeric_limits<qint16>::min() || port > std::numeric_limits<qint16>::max())
        throw CommError{platform::comm_error::Overflow, QString::fromLatin1(platform::comm_text::Overflow)};
    return static_cast<qint16>(port);
}
