#include "random_source.h"

#include <chrono>
#include <cstdint>
#include <random>

// Seeded once from the clock and the system's entropy. Reseeding from the clock
// before every draw would give the same value for draws within one clock tick.
static std::mt19937 &generator()
{
    static std::mt19937 engine([] {
        std::random_device device;
        const auto ticks = static_cast<std::uint64_t>(
            std::chrono::steady_clock::now().time_since_epoch().count());
        std::seed_seq seed{device(), device(), static_cast<unsigned>(ticks),
                           static_cast<unsigned>(ticks >> 32)};
        return std::mt19937(seed);
    }());
    return engine;
}

float RandomUnit()
{
    // 24 random bits divided by 2^24 are exact in a float and never reach 1.
    std::uniform_int_distribution<std::uint32_t> bits(0, (1u << 24) - 1);
    return static_cast<float>(bits(generator())) / static_cast<float>(1u << 24);
}
