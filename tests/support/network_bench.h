#pragma once

#include "tests/support/recording_message_boxes.h"
#include "tests/support/serial_server_process.h"
#include "tests/support/store_sandbox.h"
#include "tests/support/tarvex_sim_process.h"

#include "app_settings/port_mapping.h"
#include "app_settings/settings_keys.h"
#include "platform/serial/serial_comm_control.h"
#include "platform/settings/settings_store.h"
#include "trainer_panel/frm_FaultsAndMods.h"

#include <QAction>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpression>
#include <QtTest>

#include <memory>

// The main window on the real serial layer, reaching tarvex-sim through a real
// serial server on the network; what the tests of benches over the network share.
namespace network_bench {

inline const QRegularExpression AnyRx(QStringLiteral("^rx "));

inline QRegularExpression RxOf(quint8 byte)
{
    const QString hex = QString::number(byte, 16).toUpper().rightJustified(2, QLatin1Char('0'));
    return QRegularExpression(QStringLiteral("^rx 0x") + hex + QLatin1Char(' '));
}

// The simulator keeps a COM number of its own; the window's is mapped to the server.
inline constexpr int SimulatorCom = 12;
inline constexpr int BenchCom = 5;

inline bool WriteSetting(const QString &section, const QString &key, const QString &value)
{
    return platform::SettingsStore::write(settings_keys::Application, section, key, value);
}

inline bool MapBench(const QString &value)
{
    return WriteSetting(settings_keys::SectionPorts, settings_keys::PortKey(BenchCom), value);
}

// A server polls the lines of its serial port about once a second.
inline constexpr int LinePollBoundMs = 3000;

// One sandboxed store, the simulator on its terminal, a server in front of it
// with the modem-line fixture loaded, and the main window with COM 5 mapped to
// the server; inside TLS with the lab's desk set up in the store.
class NetworkBench
{
public:
    ~NetworkBench() { delete window.data(); }

    // Why this bench cannot be set up here; empty when it can.
    QString missing(SerialServerProcess::Kind kind) const
    {
        const QString server = SerialServerProcess::Missing(kind);
        if (!server.isEmpty())
            return server;
#ifdef MODEM_LINE_FIXTURE
        return QString();
#else
        return QStringLiteral("the modem-line fixture is built on Linux only");
#endif
    }

    [[nodiscard]] bool start(SerialServerProcess::Kind kind, const QStringList &baseArguments = {},
                             const SerialServerProcess::TlsOptions &tls = {})
    {
        base = std::make_unique<TarvexSimProcess>(QStringLiteral(TARVEX_SIM));
        if (!base->start(QStringList{"--com", QString::number(SimulatorCom)} + baseArguments))
            return false;
        server = std::make_unique<SerialServerProcess>(kind, tls);
#ifdef MODEM_LINE_FIXTURE
        if (!server->start(base->terminalPath(), QStringLiteral(MODEM_LINE_FIXTURE))) {
            qWarning("%s did not start: %s", qPrintable(SerialServerProcess::Name(kind)), qPrintable(server->output()));
            return false;
        }
#endif
        if (!MapBench(server->url()))
            return false;
        // The desk of the lab that the server lets in.
        if (kind == SerialServerProcess::Kind::Ser2netTls
            && !(WriteSetting(settings_keys::SectionTls, settings_keys::TlsCa, server->caCertificatePath())
                 && WriteSetting(settings_keys::SectionTls, settings_keys::TlsCertificate, server->deskCertificatePath())
                 && WriteSetting(settings_keys::SectionTls, settings_keys::TlsKey, server->deskKeyPath())))
            return false;
        window = new frm_FaultsAndMods(platform::CreateSerialCommControl(ResolveComPort), messages);
        window->menu_Com[BenchCom - 1]->trigger();
        window->show();
        return true;
    }

    [[nodiscard]] bool connectToBase()
    {
        window->btn_Connect->click();
        if (!messages.shown.isEmpty()) {
            qWarning("Connect showed \"%s\"; the server printed:\n%s", qPrintable(messages.titles().join(u',')),
                     qPrintable(server->output()));
            return false;
        }
        if (base->waitForLine(RxOf(0xC0)).isNull())
            return false;
        return RxOf(0x80).match(base->waitForLine(AnyRx)).hasMatch();
    }

    StoreSandbox sandbox;
    std::unique_ptr<TarvexSimProcess> base;
    std::unique_ptr<SerialServerProcess> server;
    RecordingMessageBoxes messages;
    QPointer<frm_FaultsAndMods> window;
};

} // namespace network_bench
