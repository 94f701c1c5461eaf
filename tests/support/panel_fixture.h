#pragma once

#include "tests/support/recording_comm_control.h"
#include "tests/support/recording_message_boxes.h"
#include "tests/support/store_sandbox.h"

#include "app_settings/settings_keys.h"
#include "platform/settings/settings_store.h"
#include "trainer_panel/frm_FaultsAndMods.h"

#include <QPointer>
#include <QPushButton>
#include <QtTest>
#include <memory>

// One main window on a recording serial control, with its store in a sandbox.
// Tests that use it link the settings store and the trainer panel.
class PanelFixture
{
public:
    // storedCommPort: what the store holds for the port before the window loads;
    // a null string for no value at all.
    explicit PanelFixture(const QString &storedCommPort = QString())
        : log(std::make_shared<CommLog>())
    {
        if (!storedCommPort.isNull())
            storePort(storedCommPort);
        auto control = std::make_unique<RecordingCommControl>(log);
        comm = control.get();
        window = new frm_FaultsAndMods(std::move(control), messages);
    }
    ~PanelFixture() { delete window.data(); }

    void connectToBase()
    {
        window->btn_Connect->click();
        log->written.clear();
        log->calls.clear();
    }
    void waitUntilArmed() { QTRY_VERIFY(window->connectionArmed()); }

    StoreSandbox sandbox; // first: the window reads the store when it loads
    std::shared_ptr<CommLog> log;
    RecordingMessageBoxes messages;
    RecordingCommControl *comm = nullptr;
    QPointer<frm_FaultsAndMods> window;

private:
    static void storePort(const QString &value)
    {
        QVERIFY(platform::SettingsStore::write(settings_keys::Application, QStringLiteral("General"),
                                               QStringLiteral("CommPort"), value));
    }
};
