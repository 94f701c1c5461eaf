#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

// A serial server of the lab network as a child process, in front of a
// terminal (tarvex-sim's), on 127.0.0.1: Debian's ser2net, or the RFC 2217
// server that comes with Debian's python3-serial as an example. Both are run
// as they are shipped. Ser2netTls is ser2net inside TLS with client
// certificates, set up with tools/lab-certs.sh as a lab would: a lab CA, the
// bench's certificate for 127.0.0.1, and the desk "desk1" let in through its
// authdir folder.
class SerialServerProcess
{
public:
    enum class Kind { Ser2net, PySerialExample, Ser2netTls };

    // What Ser2netTls shows the desk; all but Good are certificates that a
    // desk checking against the lab CA for 127.0.0.1 must refuse.
    struct TlsOptions
    {
        enum class BenchCertificate {
            Good,
            OtherName, // signed by the lab CA for bench9.lab
            Expired,
            NotYetValid,
            SelfSigned,
            OtherCa, // signed by another lab CA of the same name
        };
        BenchCertificate bench = BenchCertificate::Good;
        // A lab folder made before (its CA and desk1) to use instead of a new
        // one: keys take a while to make.
        QString lab;
    };

    explicit SerialServerProcess(Kind kind);
    SerialServerProcess(Kind kind, TlsOptions tls);
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
    // rfc2217://127.0.0.1:PORT, or rfc2217s:// for Ser2netTls.
    QString url() const;

    // Ser2netTls, once started: the lab CA's folder (ca.crt, and the key that
    // signs further certificates), the desk's files and ser2net's authdir.
    static constexpr const char *DeskName = "desk1";
    QString labDir() const;
    QString caCertificatePath() const;
    QString deskCertificatePath() const;
    QString deskKeyPath() const;
    QString authDir() const;
    // Runs tools/lab-certs.sh with `arguments`: its standard output goes to
    // `output`, its complaint, when it fails, to a warning.
    static bool RunLabCerts(const QStringList &arguments, QByteArray *output = nullptr);

    // What it printed, for the messages of a failing test.
    QString output();

private:
    bool listening() const;
    QString benchDir() const;
    bool makeCertificates();
    bool writeConfig(const QString &terminal);

    Kind m_kind;
    TlsOptions m_tls;
    bool m_certificatesMade = false;
    QProcess m_process;
    QTemporaryDir m_dir;
    quint16 m_port = 0;
    QByteArray m_output;
};
