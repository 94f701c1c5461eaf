#pragma once

namespace platform {

// Blocks the calling thread; the window does not respond meanwhile.
void Sleep(int milliseconds);

} // namespace platform
