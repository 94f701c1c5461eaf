#include "bench/serial_bench.h"

#include "app_settings/port_mapping.h"
#include "app_settings/settings_keys.h"
#include "platform/serial/serial_comm_control.h"
#include "platform/settings/settings_store.h"
#include "protocol/tarvex_protocol.h"
#include "simulator/tarvex_model.h"
#include "tests/support/recording_message_boxes.h"
#include "tests/support/serial_server_process.h"
#include "tests/support/tarvex_sim_process.h"
#include "trainer_panel/colour_button.h"
#include "trainer_panel/frm_FaultsAndMods.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QPushButton>
#include <QSslSocket>

#include <algorithm>
#include <thread>

namespace velmora_bench {

namespace protocol = tarvex_protocol;

namespace {

// A click on an item inserts it when it is out and removes it when it is in:
// the byte the base should get for it, with `board` following.
quint8 click(tarvex_sim::BaseModel *board, int item)
{
    const tarvex_sim::Item which = tarvex_sim::ItemAt(item);
    const bool inserted = board->isInserted(which.kind, which.number);
    const quint8 byte = protocol::ItemCommand(inserted ? protocol::RemoveBase : protocol::InsertBase, item);
    board->receive(byte);
    return byte;
}

const QRegularExpression AnyRx(QStringLiteral("^\\d+\\.\\d{6} rx 0x(\\w\\w) "));

// The window connects on COM 1; over TLS, COM 2 is plain ser2net beside it.
constexpr qint16 WindowCom = 1;
constexpr qint16 PlainBesideTlsCom = 2;

void mapCom(qint16 com, const QString &url)
{
    if (!platform::SettingsStore::write(settings_keys::Application, settings_keys::SectionPorts,
                                        settings_keys::PortKey(com), url))
        throw Failure("cannot map COM " + std::to_string(com) + " to " + url.toStdString());
}

} // namespace

// The window, the base and, on the network route, ser2net between them.
class SerialRig
{
public:
    using Route = SerialBench::Route;
    using Loss = SerialBench::Loss;
    static constexpr int BurstLength = SerialBench::BurstLength;

    explicit SerialRig(Route route)
        : m_route(route)
    {
        // Loads Qt's TLS backend, once per start of a desk, before anything is timed.
        if (route == Route::Ser2netTls && !QSslSocket::supportsSsl())
            throw Failure("Qt has no TLS backend here");
        startBase();
        m_messages.onShow = [this](const RecordingMessageBoxes::Message &) { m_shownAt = NowMicros(); };
        m_window = std::make_unique<frm_FaultsAndMods>(platform::CreateSerialCommControl(ResolveComPort), m_messages);
        m_window->setAttribute(Qt::WA_DeleteOnClose, false);
        m_window->show();
        QCoreApplication::processEvents();
    }

    Series connects(int runs, Series *toProbe)
    {
        Series ms;
        for (int run = 0; run < runs; ++run) {
            const qint64 clicked = NowMicros();
            m_window->btn_Connect->click();
            const qint64 probed = arrival(protocol::Probe, "connect");
            const qint64 arrived = arrival(protocol::ResetAll, "the probe");
            if (m_window->btn_Connect->isEnabled())
                throw Failure("connect failed: " + m_messages.titles().join(QStringLiteral(", ")).toStdString());
            ms.add(double(arrived - clicked) / 1000.0);
            toProbe->add(double(probed - clicked) / 1000.0);
            m_window->btn_Disconnect->click();
            waitUntilPortFreed();
        }
        return ms;
    }

    Series clicks(int runs)
    {
        connect();
        Series ms;
        tarvex_sim::BaseModel board;
        for (int run = 0; run < runs; ++run) {
            const int item = (run * 7) % protocol::ItemCount;
            const quint8 expected = click(&board, item);
            const qint64 clicked = NowMicros();
            button(item)->click();
            ms.add(double(arrival(expected, "item click") - clicked) / 1000.0);
            QCoreApplication::processEvents();
        }
        resetBoard();
        return ms;
    }

    Series bursts(int runs, std::string *fault)
    {
        connect();
        Series ms;
        for (int run = 0; run < runs; ++run) {
            tarvex_sim::BaseModel board;
            QByteArray expected;
            const qint64 started = NowMicros();
            for (int k = 0; k < BurstLength; ++k) {
                const int item = (k * 7 + run) % protocol::ItemCount;
                expected.append(char(click(&board, item)));
                button(item)->click();
                // As between two real clicks: the window's events are handled.
                QCoreApplication::processEvents();
            }
            QByteArray received;
            qint64 last = started;
            QString lastLine;
            while (received.size() < expected.size()) {
                const QString line = m_base->waitForLine(AnyRx, 3000);
                if (line.isNull())
                    break;
                received.append(char(AnyRx.match(line).captured(1).toInt(nullptr, 16)));
                last = TarvexSimProcess::timestampMicros(line).value_or(last);
                lastLine = line;
            }
            // Anything more would be a doubled byte.
            const QString extra = m_base->waitForLine(AnyRx, 100);
            if (!extra.isNull())
                received.append(char(AnyRx.match(extra).captured(1).toInt(nullptr, 16)));
            if (fault->empty())
                *fault = compare(expected, received, lastLine, board.stateText(), run);
            ms.add(double(last - started) / 1000.0);
            if (m_window->btn_Connect->isEnabled())
                throw Failure("the connection dropped during a burst: "
                              + m_messages.titles().join(QStringLiteral(", ")).toStdString());
            resetBoard();
        }
        return ms;
    }


    Series losses(int runs, Loss loss)
    {
        Series ms;
        const char *lines[] = {"cts", "dsr", "cd"};
        for (int run = 0; run < runs; ++run) {
            connect();
            waitUntilArmed();
            const qsizetype shown = m_messages.shown.size();
            qint64 changedAt = 0;
            if (loss == Loss::Killed) {
                changedAt = NowMicros();
                m_base->process().kill();
            } else if (loss == Loss::ServerKilled) {
                changedAt = NowMicros();
                m_server->kill();
            } else {
                changedAt = loss == Loss::Cable ? control("cable", "pulled") : control(lines[run % 3]);
            }
            const qint64 lostAt = waitForMessage(shown);
            ms.add(double(lostAt - changedAt) / 1000.0);
            if (loss == Loss::Killed) {
                m_base->process().waitForFinished(3000);
                startBase();
            } else if (loss == Loss::ServerKilled) {
                startServer();
            } else if (loss == Loss::Cable) {
                // Plugged in again for the next run.
                control("cable", "plugged in again");
            }
        }
        return ms;
    }

    SerialBench::Opens opens(int pairs)
    {
        if (m_route != Route::Ser2netTls)
            throw Failure("opens are compared over TLS only");
        SerialBench::Opens opened;
        const std::unique_ptr<platform::CommControl> port = platform::CreateSerialCommControl(ResolveComPort);
        port->setSettings(QString::fromLatin1(protocol::LineSettings));
        // An untimed pair first, so that nothing set up once per run lands in a timed one.
        openedInMs(*port, WindowCom);
        openedInMs(*port, PlainBesideTlsCom);
        for (int pair = 0; pair < pairs; ++pair) {
            // Taken in either order in turn, so that neither always follows the other.
            double tls = 0;
            double plain = 0;
            if (pair % 2 == 0) {
                tls = openedInMs(*port, WindowCom);
                plain = openedInMs(*port, PlainBesideTlsCom);
            } else {
                plain = openedInMs(*port, PlainBesideTlsCom);
                tls = openedInMs(*port, WindowCom);
            }
            opened.tls.add(tls);
            opened.plain.add(plain);
            opened.tlsCost.add(tls - plain);
        }
        return opened;
    }

private:
    // How long setPortOpen(true) took on COM `com`; closed again at once.
    double openedInMs(platform::CommControl &port, qint16 com)
    {
        port.setCommPort(com);
        qint64 started = 0;
        qint64 opened = 0;
        try {
            started = NowMicros();
            port.setPortOpen(true);
            opened = NowMicros();
        } catch (const platform::CommError &error) {
            throw Failure("COM " + std::to_string(com) + " did not open: " + error.description.toStdString());
        }
        port.setPortOpen(false);
        waitUntilPortFreed();
        return double(opened - started) / 1000.0;
    }

    void startBase()
    {
        m_base = std::make_unique<TarvexSimProcess>(QStringLiteral(TARVEX_SIM));
        if (!m_base->start({QStringLiteral("--timestamps")}))
            throw Failure("tarvex-sim did not start: " + m_base->process().errorString().toStdString());
        if (m_route != Route::Terminal)
            startServer();
    }

    // ser2net in front of the base's terminal, with the modem-line fixture so
    // that the terminal has lines; COM 1 is mapped to it. Over TLS the desk's
    // files go into section TLS as a lab sets them, and plain ser2net in front
    // of the same terminal is COM 2.
    void startServer()
    {
        using Kind = SerialServerProcess::Kind;
        const bool tls = m_route == Route::Ser2netTls;
        const Kind kind = tls ? Kind::Ser2netTls : Kind::Ser2net;
        m_server.reset();
        m_server = std::make_unique<SerialServerProcess>(kind);
        if (!m_server->start(m_base->terminalPath(), fixture()))
            throw Failure(SerialServerProcess::Name(kind).toStdString() + " did not start: "
                          + m_server->output().toStdString());
        mapCom(WindowCom, m_server->url());
        if (!tls)
            return;
        const std::pair<const QString &, QString> files[] = {
            {settings_keys::TlsCa, m_server->caCertificatePath()},
            {settings_keys::TlsCertificate, m_server->deskCertificatePath()},
            {settings_keys::TlsKey, m_server->deskKeyPath()},
        };
        for (const auto &[key, path] : files) {
            if (!platform::SettingsStore::write(settings_keys::Application, settings_keys::SectionTls, key, path))
                throw Failure("cannot set [TLS] " + key.toStdString());
        }
        m_plainServer.reset();
        m_plainServer = std::make_unique<SerialServerProcess>(Kind::Ser2net);
        if (!m_plainServer->start(m_base->terminalPath(), fixture()))
            throw Failure("ser2net beside the TLS one did not start: " + m_plainServer->output().toStdString());
        mapCom(PlainBesideTlsCom, m_plainServer->url());
    }

    static QString fixture()
    {
#ifdef MODEM_LINE_FIXTURE
        return QStringLiteral(MODEM_LINE_FIXTURE);
#else
        return QString();
#endif
    }

    // Types a control at the base; the time the base says it did what was asked.
    qint64 control(const char *words, const char *done = "")
    {
        m_base->process().write(QByteArray(words) + '\n');
        const QString line = m_base->waitForLine(
            QRegularExpression(QStringLiteral("^\\d+\\.\\d{6} %1: %2").arg(QLatin1String(words), QLatin1String(done))),
            3000);
        if (line.isNull())
            throw Failure(std::string("the base did not take the control ") + words);
        return *TarvexSimProcess::timestampMicros(line);
    }

    void waitUntilArmed()
    {
        const Clock::time_point deadline = Clock::now() + std::chrono::seconds(3);
        while (!m_window->connectionArmed()) {
            if (Clock::now() > deadline)
                throw Failure("the connection never left its settling time");
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        }
    }

    qint64 waitForMessage(qsizetype before)
    {
        const Clock::time_point deadline = Clock::now() + std::chrono::seconds(3);
        while (m_messages.shown.size() == before) {
            if (Clock::now() > deadline)
                throw Failure("no message within 3 s of losing the connection");
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        }
        if (m_messages.shown.size() != before + 1 || m_messages.shown.last().title != QLatin1String("Connection lost"))
            throw Failure("losing the connection showed: "
                          + m_messages.titles().mid(before).join(QStringLiteral(", ")).toStdString());
        return m_shownAt;
    }

    static std::string compare(const QByteArray &expected, const QByteArray &received, const QString &lastLine,
                               const std::string &state, int run)
    {
        const std::string burst = "burst " + std::to_string(run + 1) + ": ";
        for (qsizetype i = 0; i < std::min(expected.size(), received.size()); ++i) {
            if (expected[i] != received[i])
                return burst + "byte " + std::to_string(i + 1) + " was " + tarvex_sim::HexByte(quint8(received[i]))
                    + ", not " + tarvex_sim::HexByte(quint8(expected[i]));
        }
        if (received.size() < expected.size())
            return burst + std::to_string(expected.size() - received.size()) + " of "
                + std::to_string(expected.size()) + " bytes lost";
        if (received.size() > expected.size())
            return burst + "more bytes than clicks";
        if (TarvexSimProcess::boardState(lastLine).toStdString() != state)
            return burst + "the board ended as " + TarvexSimProcess::boardState(lastLine).toStdString()
                + ", not " + state;
        return std::string();
    }

    ColourButton *button(int item) const
    {
        const tarvex_sim::Item which = tarvex_sim::ItemAt(item);
        const auto index = std::size_t(which.number - 1);
        return which.kind == tarvex_sim::ItemKind::Fault ? m_window->btn_Fault.at(index) : m_window->btn_Mod.at(index);
    }

    // The time the base read the next byte, which must be `byte`.
    qint64 arrival(quint8 byte, const char *after)
    {
        const QString line = m_base->waitForLine(AnyRx, 3000);
        if (line.isNull())
            throw Failure(std::string("no byte reached the base after ") + after + "; messages: "
                          + m_messages.titles().join(QStringLiteral(", ")).toStdString() + "; the base printed:\n"
                          + m_base->lines().mid(m_base->lines().size() - 8).join(QLatin1Char('\n')).toStdString());
        if (AnyRx.match(line).captured(1).toInt(nullptr, 16) != byte)
            throw Failure(std::string("after ") + after + " the base got " + line.toStdString() + ", expected "
                          + tarvex_sim::HexByte(byte));
        return *TarvexSimProcess::timestampMicros(line);
    }

    void connect()
    {
        if (!m_window->btn_Connect->isEnabled())
            return;
        m_window->btn_Connect->click();
        arrival(protocol::Probe, "connect");
        arrival(protocol::ResetAll, "connect");
        if (m_window->btn_Connect->isEnabled())
            throw Failure("connect failed: " + m_messages.titles().join(QStringLiteral(", ")).toStdString());
    }

    void resetBoard()
    {
        m_window->btn_Reset->click();
        arrival(protocol::ResetAll, "Reset All");
        QCoreApplication::processEvents();
    }

    // So that the next probe is not taken for a byte of the last connection.
    void waitUntilPortFreed()
    {
#ifdef Q_OS_LINUX
        if (m_base->waitForLine(QRegularExpression(QStringLiteral("port closed, 0 open$")), 3000).isNull())
            throw Failure("the base never saw the port closed");
#endif
        QCoreApplication::processEvents();
    }

    Route m_route;
    std::unique_ptr<TarvexSimProcess> m_base;
    std::unique_ptr<SerialServerProcess> m_server;
    std::unique_ptr<SerialServerProcess> m_plainServer;
    qint64 m_shownAt = 0;
    RecordingMessageBoxes m_messages;
    std::unique_ptr<frm_FaultsAndMods> m_window;
};

SerialBench::SerialBench(Route route)
    : m_rig(std::make_unique<SerialRig>(route))
{
}

SerialBench::~SerialBench() = default;

Series SerialBench::connects(int runs, Series *toProbe)
{
    return m_rig->connects(runs, toProbe);
}

Series SerialBench::clicks(int runs)
{
    return m_rig->clicks(runs);
}

Series SerialBench::bursts(int runs, std::string *fault)
{
    return m_rig->bursts(runs, fault);
}

Series SerialBench::losses(int runs, Loss loss)
{
    return m_rig->losses(runs, loss);
}

SerialBench::Opens SerialBench::opens(int pairs)
{
    return m_rig->opens(pairs);
}

} // namespace velmora_bench
