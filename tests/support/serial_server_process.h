#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

// A serial server of the lab network as a child process, in front of a
// terminal (tarvex-sim's), on 127.0.0.1: Debian's ser2net, or the RFC 2217
// server that comes with Debian's python3-serial as an example. Both are run
// as they are shipped.
class SerialServerProcess
{
public:
    enum class Kind { Ser2net, PySerialExample };

    explicit SerialServerProcess(Kind kind);
    SerialServerProcess(const SerialServerProcess &) = delete;
    SerialServerProcess &operator=(const SerialServerProcess &) = delete;
    ~SerialServerProcess();

    // Why this kind cannot run here; empty when it can.
    static QString Missing(Kind kind);
    static QString Name(Kind kind);

    // Starts it in front of `terminal`, with `preload` (the modem-line
    // fixture, so the terminal has lines) loaded into it when given, and waits
    // until it listens.
    bool start(const QString &terminal, const QString &preload = QString());
    // Stops it the way a shutdown would; true when it ended in time.
    bool stop();
    // Kills it at once, as a power cut would the program (the system still
    // closes its connections).
    void kill();

    quint16 port() const { return m_port; }
    QString url() const;
    // What it printed, for the messages of a failing test.
    QString output();

private:
    bool listening() const;

    Kind m_kind;
    QProcess m_process;
    QTemporaryDir m_dir;
    quint16 m_port = 0;
    QByteArray m_output;
};
