#pragma once

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QList>
#include <QString>

namespace platform {

struct HostLookupResult
{
    enum class Outcome {
        Found,
        NotFound,   // the name server said so; `error` tells what it said
        TimedOut,   // no answer before the deadline
        Busy,       // an earlier lookup, left running, has still not ended
    };
    Outcome outcome = Outcome::NotFound;
    QList<QHostAddress> addresses;
    QString error;
};

// The addresses of a host name, looked up by the system's resolver before
// `deadline`. The resolver cannot be given a deadline, so it runs on a thread
// of its own, which is left to end alone when the deadline passes first. At
// most one such thread is ever left: until it has ended, the next lookup waits
// for it within its own deadline, and is Busy if it waits in vain. The thread
// touches nothing but its own state, so the program's end neither waits for
// it nor races it.
HostLookupResult LookUpHost(const QString &host, const QDeadlineTimer &deadline);

} // namespace platform
