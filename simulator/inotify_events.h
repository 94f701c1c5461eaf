#pragma once

#ifdef __linux__
#include <sys/inotify.h>
#include <sys/types.h>
#include <unistd.h>

namespace tarvex_sim {

// Hands each event waiting on an inotify descriptor to `take`.
template <typename Take>
void TakeWatchEvents(int fd, Take take)
{
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0)
            break;
        for (ssize_t at = 0; at < n;) {
            const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
            take(*event);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
}

} // namespace tarvex_sim
#endif
