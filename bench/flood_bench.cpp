#include "bench/flood_bench.h"

#include "bench/bench_table.h"

#include "app_settings/port_mapping.h"
#include "app_settings/settings_keys.h"
#include "platform/serial/serial_comm_control.h"
#include "platform/settings/settings_store.h"
#include "protocol/tarvex_protocol.h"
#include "simulator/tarvex_model.h"
#include "tests/support/pseudo_terminal.h"
#include "tests/support/recording_message_boxes.h"
#include "trainer_panel/frm_FaultsAndMods.h"

#include <QAction>
#include <QEventLoop>
#include <QPushButton>
#include <QTimer>

#include <atomic>
#include <cstring>
#include <thread>

#include <poll.h>
#include <unistd.h>

namespace velmora_bench {

namespace protocol = tarvex_protocol;

FloodResult Flood(int seconds)
{
    PseudoTerminal pty;
    if (!pty.isValid())
        throw Failure("flood: no pseudo-terminal");
    // The device must never wait on a full terminal, or it would miss the stop.
    pty.setNonBlocking();
    const int master = pty.master();
    constexpr int Port = 12;
    if (!platform::SettingsStore::write(settings_keys::Application, settings_keys::SectionPorts,
                                        settings_keys::PortKey(Port), pty.slavePath()))
        throw Failure("flood: cannot map COM 12");

    std::atomic<bool> stop = false;
    std::atomic<qint64> sent = 0;
    std::thread device([master, &stop, &sent] {
        // Answers the probe, waits for the reset byte, then floods.
        QByteArray heard;
        while (!stop && !heard.contains(char(protocol::ResetAll))) {
            pollfd readable {master, POLLIN, 0};
            if (::poll(&readable, 1, 20) <= 0)
                continue;
            char byte = 0;
            if (::read(master, &byte, 1) != 1)
                continue;
            if (byte == char(protocol::Probe))
                [[maybe_unused]] const ssize_t answered = ::write(master, &tarvex_sim::ProbeAnswer, 1);
            heard.append(byte);
        }
        char chunk[4096];
        std::memset(chunk, 0x55, sizeof chunk);
        while (!stop) {
            pollfd writable {master, POLLOUT, 0};
            if (::poll(&writable, 1, 20) <= 0)
                continue;
            const ssize_t written = ::write(master, chunk, sizeof chunk);
            if (written > 0)
                sent += written;
        }
    });

    RecordingMessageBoxes messages;
    frm_FaultsAndMods window(platform::CreateSerialCommControl(ResolveComPort), messages);
    window.setAttribute(Qt::WA_DeleteOnClose, false);
    window.menu_Com[Port - 1]->trigger();
    window.btn_Connect->click();
    const bool connected = !window.btn_Connect->isEnabled();
    double before = 0;
    double after = 0;
    if (connected) {
        before = ResidentMiB(::getpid());
        QEventLoop loop;
        QTimer::singleShot(seconds * 1000, &loop, &QEventLoop::quit);
        loop.exec();
        after = ResidentMiB(::getpid());
    }
    const bool stayed = !window.btn_Connect->isEnabled();
    stop = true;
    device.join();
    window.btn_Disconnect->click();
    pty.closeMaster();
    if (!connected)
        throw Failure("flood: connect failed: " + messages.titles().join(QStringLiteral(", ")).toStdString());
    if (!stayed)
        throw Failure("flood: the connection dropped: " + messages.titles().join(QStringLiteral(", ")).toStdString());
    return {after - before, double(sent) / 1e6 / seconds};
}

} // namespace velmora_bench
