#pragma once

#include "described_menu_item.h"
#include "faults_and_mods_layout.h"
#include "platform/serial/comm_control.h"
#include "protocol/tarvex_protocol.h"

#include <QMainWindow>
#include <array>
#include <memory>

class ColourButton;
class QAction;
class QGroupBox;
class QLabel;
class QMenu;
class QPushButton;
class QTimer;

namespace platform {
class MessageBoxes;
}

// Velmora's working window: connects to the Tarvex base on the chosen COM
// port, toggles its faults and circuit modifications, and watches the line.
// The window is deleted when it is closed, and releases the port with it.
class frm_FaultsAndMods : public QMainWindow
{
    Q_OBJECT

public:
    frm_FaultsAndMods(std::unique_ptr<platform::CommControl> commControl,
                      platform::MessageBoxes &messages, QWidget *parent = nullptr);
    ~frm_FaultsAndMods() override;

    // The port in use: the text read from the store, or the number chosen since.
    QString selectedCommPort() const { return m_selectedCommPort; }
    bool connectionArmed() const { return m_connectionArmed; }

    // Controls, by the names the handlers use.
    QGroupBox *frame_Connection = nullptr;
    QLabel *lbl_Connection = nullptr;
    QPushButton *btn_Connect = nullptr;
    QPushButton *btn_Disconnect = nullptr;
    QGroupBox *frame_BoardOptions = nullptr;
    QGroupBox *frame_CircuitMods = nullptr;
    std::array<ColourButton *, tarvex_protocol::ModificationCount> btn_Mod{};
    QGroupBox *frame_Faults = nullptr;
    std::array<ColourButton *, tarvex_protocol::FaultCount> btn_Fault{};
    QPushButton *btn_Reset = nullptr;
    QLabel *lbl_info = nullptr;
    QLabel *Label1 = nullptr;
    QMenu *menu_File = nullptr;
    QAction *menu_Exit = nullptr;
    QMenu *menu_Option = nullptr;
    QMenu *menu_Port = nullptr;
    // menu_Com[0] is the item "COM &1"; each describes what its number leads to.
    std::array<DescribedMenuItem *, faults_and_mods_layout::PortItems> menu_Com{};
    // A child of the window like the other controls; it goes with the window,
    // and the port with it.
    platform::CommControl *MSCommObject = nullptr;
    QTimer *TimerConnection = nullptr;

public slots:
    void btn_Connect_Click();
    void btn_Disconnect_Click();
    void MSCommObject_OnComm();
    void TimerConnection_Timer();
    void btn_Mod_Click(qint16 Index);
    void btn_Fault_Click(qint16 Index);
    void btn_Reset_Click();
    void menu_Com_Click(int portNumber);
    void menu_Exit_Click();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void createControls();
    void createMenus();
    void describePortItems();
    static QString portTargetText(const platform::PortTarget &target);
    void Form_Load();
    void Form_Unload();

    void SetConnectedState(bool connected);
    void ResetFaultAndModButtons(bool enable);
    void showConnectionStatus(bool connected);
    void toggleItem(ColourButton *button, quint8 insertCode, quint8 removeCode);
    void sendCommand(quint8 code);
    void connectionLost();
    qint16 commPortNumber() const;

    platform::MessageBoxes &m_messages;
    QString m_selectedCommPort;
    bool m_connectionArmed = false;
};
