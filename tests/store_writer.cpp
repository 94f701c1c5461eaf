// store_writer APPLICATION SECTION KEY COUNT: writes KEY COUNT times (0: until
// killed), the values 0, 1, 2, ..., and prints how long each write took in
// microseconds, or "refused", one line each. Exit code 1 when any was refused.
#include "platform/settings/settings_store.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QStringList>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    bool countOk = false;
    const long long count = args.size() == 4 ? args[3].toLongLong(&countOk) : -1;
    if (!countOk || count < 0) {
        std::fprintf(stderr, "usage: store_writer APPLICATION SECTION KEY COUNT\n");
        return 2;
    }

    bool anyRefused = false;
    for (long long i = 0; count == 0 || i < count; ++i) {
        QElapsedTimer timer;
        timer.start();
        const bool written = platform::SettingsStore::write(args[0], args[1], args[2], QString::number(i));
        const qint64 micros = timer.nsecsElapsed() / 1000;
        if (written)
            std::printf("%lld\n", static_cast<long long>(micros));
        else
            std::printf("refused\n");
        std::fflush(stdout);
        anyRefused = anyRefused || !written;
    }
    return anyRefused ? 1 : 0;
}
