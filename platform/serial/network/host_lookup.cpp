#include "platform/serial/network/host_lookup.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#ifdef Q_OS_WIN
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <sys/socket.h>
#include <sys/types.h>
#endif

namespace platform {

namespace {

// One lookup, shared by the thread that runs it and the caller that waits.
// It holds plain data only: the thread may still run while the program ends.
struct Lookup
{
    std::string host;
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;             // guarded by mutex, as are the results
    int status = 0;                // getaddrinfo()'s
    std::vector<sockaddr_storage> addresses;

    bool waitUntil(const QDeadlineTimer &deadline)
    {
        std::unique_lock<std::mutex> lock(mutex);
        const auto left = std::chrono::milliseconds(qMax<qint64>(0, deadline.remainingTime()));
        return ended.wait_for(lock, left, [this] { return done; });
    }
};

void run(const std::shared_ptr<Lookup> &lookup)
{
#ifdef Q_OS_WIN
    WSADATA data;
    const bool started = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
#endif
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    const int status = ::getaddrinfo(lookup->host.c_str(), nullptr, &hints, &found);
    std::vector<sockaddr_storage> addresses;
    for (const addrinfo *entry = status == 0 ? found : nullptr; entry; entry = entry->ai_next) {
        if (entry->ai_addrlen > sizeof(sockaddr_storage))
            continue;
        sockaddr_storage address{};
        std::memcpy(&address, entry->ai_addr, entry->ai_addrlen);
        addresses.push_back(address);
    }
    if (found)
        ::freeaddrinfo(found);
#ifdef Q_OS_WIN
    if (started)
        ::WSACleanup();
#endif
    {
        std::lock_guard<std::mutex> lock(lookup->mutex);
        lookup->status = status;
        lookup->addresses = std::move(addresses);
        lookup->done = true;
    }
    lookup->ended.notify_all();
}

std::shared_ptr<Lookup> start(const QString &host)
{
    auto lookup = std::make_shared<Lookup>();
    lookup->host = host.toStdString();
    std::thread(run, lookup).detach();
    return lookup;
}

QString errorText(int status)
{
#ifdef Q_OS_WIN
    return QString::fromWCharArray(::gai_strerrorW(status)).trimmed();
#else
    return QString::fromLocal8Bit(::gai_strerror(status));
#endif
}

HostLookupResult resultOf(Lookup &lookup)
{
    std::lock_guard<std::mutex> lock(lookup.mutex);
    HostLookupResult result;
    if (lookup.status != 0) {
        result.error = errorText(lookup.status);
        return result;
    }
    for (const sockaddr_storage &address : lookup.addresses) {
        const QHostAddress host(reinterpret_cast<const sockaddr *>(&address));
        if (!host.isNull() && !result.addresses.contains(host))
            result.addresses.append(host);
    }
    result.outcome = result.addresses.isEmpty() ? HostLookupResult::Outcome::NotFound
                                                : HostLookupResult::Outcome::Found;
    if (result.addresses.isEmpty())
        result.error = QStringLiteral("no address");
    return result;
}

} // namespace

HostLookupResult LookUpHost(const QString &host, const QDeadlineTimer &deadline)
{
    // The lookup left running by an earlier call, if any; only this, the
    // window's thread, touches it.
    static std::shared_ptr<Lookup> leftRunning;
    HostLookupResult busy;
    busy.outcome = HostLookupResult::Outcome::Busy;
    if (leftRunning && !leftRunning->waitUntil(deadline))
        return busy;
    leftRunning.reset();

    std::shared_ptr<Lookup> lookup = start(host);
    if (!lookup->waitUntil(deadline)) {
        leftRunning = lookup;
        HostLookupResult timedOut;
        timedOut.outcome = HostLookupResult::Outcome::TimedOut;
        return timedOut;
    }
    return resultOf(*lookup);
}

} // namespace platform
