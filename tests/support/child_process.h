#pragma once

#include <QProcess>

// Ends a child the tests started: SIGTERM first, so that it can tidy up (the
// simulator puts its port mapping back), then SIGKILL if it does not end.
inline void EndChild(QProcess &process)
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(3000)) {
        process.kill();
        process.waitForFinished(3000);
    }
}
