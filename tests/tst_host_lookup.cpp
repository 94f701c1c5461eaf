// The name lookup of the network port against a name server that hangs: a
// lookup that outlives its deadline is left alone, no second one piles up
// behind it, and the program's end neither waits for it nor races it. Run
// through tests/support/in_private_network.sh, which gives the test a network
// and mounts of its own, where its silent name server stands in for the
// system's.
#include "platform/serial/network/host_lookup.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

using platform::HostLookupResult;
using Outcome = HostLookupResult::Outcome;

namespace {

constexpr char ChildVariable[] = "TST_HOST_LOOKUP_CHILD";
constexpr int ShortDeadlineMs = 300;

// Why the test cannot run here; empty when it can.
QString missing()
{
    if (qEnvironmentVariable("VELMORA_PRIVATE_NETWORK") != QLatin1String("1"))
        return QStringLiteral("needs a network and mounts of its own, which tests/support/in_private_network.sh "
                              "gives as root");
    return QString();
}

int threadCount()
{
    return int(QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size());
}

// A name server on 127.0.0.1:53 that keeps every query unanswered until it is
// told to answer, and then says of each name that there is no such name.
class SilentNameServer
{
public:
    SilentNameServer()
    {
        m_socket = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(53);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        timeval wait{0, 20 * 1000};
        ::setsockopt(m_socket, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        m_listening = ::bind(m_socket, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
        if (m_listening)
            m_thread = std::thread([this] { serve(); });
    }
    ~SilentNameServer()
    {
        m_stopping = true;
        if (m_thread.joinable())
            m_thread.join();
        ::close(m_socket);
    }

    bool listening() const { return m_listening; }
    int queries() const { return m_queries; }
    void answerFromNowOn() { m_answering = true; }

private:
    struct Query
    {
        std::vector<char> bytes;
        sockaddr_in from;
    };

    void serve()
    {
        std::vector<Query> waiting;
        while (!m_stopping) {
            Query query{std::vector<char>(512), {}};
            socklen_t fromSize = sizeof query.from;
            const ssize_t size = ::recvfrom(m_socket, query.bytes.data(), query.bytes.size(), 0,
                                            reinterpret_cast<sockaddr *>(&query.from), &fromSize);
            if (size >= 12) {
                query.bytes.resize(std::size_t(size));
                ++m_queries;
                waiting.push_back(query);
            }
            if (!m_answering)
                continue;
            for (Query &pending : waiting) {
                pending.bytes[2] = char(pending.bytes[2] | 0x80); // a response
                pending.bytes[3] = char(0x83);                    // recursion available, no such name
                ::sendto(m_socket, pending.bytes.data(), pending.bytes.size(), 0,
                         reinterpret_cast<sockaddr *>(&pending.from), sizeof pending.from);
            }
            waiting.clear();
        }
    }

    int m_socket = -1;
    bool m_listening = false;
    std::atomic<bool> m_stopping{false};
    std::atomic<bool> m_answering{false};
    std::atomic<int> m_queries{0};
    std::thread m_thread;
};

// The system's resolver asks only our server, once per name, and waits long.
bool useOnlyOurNameServer(const QString &folder)
{
    const QString path = folder + QStringLiteral("/resolv.conf");
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly)
        || file.write("nameserver 127.0.0.1\noptions timeout:30 attempts:1\n") < 0)
        return false;
    file.close();
    return QProcess::execute(QStringLiteral("mount"), {QStringLiteral("--bind"), path, QStringLiteral("/etc/resolv.conf")})
        == 0;
}

} // namespace

class tst_HostLookup : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    // First, while the name server still answers nothing.
    void theEndDoesNotWaitForALookup();
    void oneLookupAtMostIsLeftRunning();

private:
    QTemporaryDir m_folder;
    std::unique_ptr<SilentNameServer> m_server;
};

void tst_HostLookup::initTestCase()
{
    if (const QString why = missing(); !why.isEmpty())
        QSKIP(qPrintable(why));
    QVERIFY(m_folder.isValid());
    QVERIFY(useOnlyOurNameServer(m_folder.path()));
    m_server = std::make_unique<SilentNameServer>();
    QVERIFY(m_server->listening());
}

void tst_HostLookup::oneLookupAtMostIsLeftRunning()
{
    const int threadsBefore = threadCount();
    QElapsedTimer clock;
    clock.start();
    const HostLookupResult first =
        platform::LookUpHost(QStringLiteral("bench1.hang.test"), QDeadlineTimer(ShortDeadlineMs));
    QCOMPARE(first.outcome, Outcome::TimedOut);
    QVERIFY2(clock.elapsed() < ShortDeadlineMs + 200, qPrintable(QString::number(clock.elapsed())));
    QTRY_VERIFY(m_server->queries() > 0);
    const int queriesOfOne = m_server->queries();

    // The lookups after it wait for it within their own deadlines, and start none.
    for (const char *name : {"bench2.hang.test", "bench3.hang.test", "bench4.hang.test"}) {
        clock.restart();
        const HostLookupResult next = platform::LookUpHost(QString::fromLatin1(name), QDeadlineTimer(ShortDeadlineMs));
        QCOMPARE(next.outcome, Outcome::Busy);
        QVERIFY2(clock.elapsed() >= ShortDeadlineMs - 20 && clock.elapsed() < ShortDeadlineMs + 200,
                 qPrintable(QString::number(clock.elapsed())));
    }
    QCOMPARE(m_server->queries(), queriesOfOne);
    QVERIFY2(threadCount() <= threadsBefore + 1, qPrintable(QString::number(threadCount() - threadsBefore)));

    // Once the name server answers, the one left ends, and the next lookup is
    // a lookup of its own again.
    m_server->answerFromNowOn();
    QTRY_VERIFY(threadCount() <= threadsBefore);
    const HostLookupResult afterwards =
        platform::LookUpHost(QStringLiteral("bench5.hang.test"), QDeadlineTimer(2000));
    QCOMPARE(afterwards.outcome, Outcome::NotFound);
    QVERIFY(!afterwards.error.isEmpty());
    QVERIFY(m_server->queries() > queriesOfOne);
}

// A program of our own (this test again) starts a lookup that hangs and ends:
// it ends at once and cleanly, the lookup still under way.
void tst_HostLookup::theEndDoesNotWaitForALookup()
{
    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QString::fromLatin1(ChildVariable), QStringLiteral("1"));
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    QElapsedTimer clock;
    clock.start();
    child.start(QCoreApplication::applicationFilePath(), QStringList());
    QVERIFY(child.waitForFinished(10000));
    QCOMPARE(child.exitStatus(), QProcess::NormalExit);
    QCOMPARE(child.exitCode(), 0);
    QVERIFY2(clock.elapsed() < 3000, qPrintable(QString::number(clock.elapsed())));
    QTRY_VERIFY(m_server->queries() > 0); // the child's lookup did reach the name server
}

// Outside the test class: what the child runs in place of the tests.
int childEndsWithALookupUnderWay()
{
    const HostLookupResult result =
        platform::LookUpHost(QStringLiteral("child.hang.test"), QDeadlineTimer(ShortDeadlineMs));
    return result.outcome == Outcome::TimedOut ? 0 : 1;
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (qEnvironmentVariableIsSet(ChildVariable))
        return childEndsWithALookupUnderWay();
    tst_HostLookup test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_host_lookup.moc"
