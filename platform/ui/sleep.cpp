#include "platform/ui/sleep.h"

#include <chrono>
#include <thread>

namespace platform {

void Sleep(int milliseconds)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

} // namespace platform
