#include "access_gate/password_encoding.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

// A password of codes 32 to 255 and the selectors to encode it with, both taken
// from the input, so that every failure can be replayed.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    FuzzedDataProvider input(data, size);
    std::vector<int> selectors{input.ConsumeIntegralInRange<int>(1, 52)};
    std::string password;
    while (input.remaining_bytes() > 0) {
        password += static_cast<char>(input.ConsumeIntegralInRange<int>(32, 255));
        selectors.push_back(input.ConsumeIntegralInRange<int>(1, 52));
    }

    std::size_t next = 0;
    const std::string stored = EncodePassword(password, [&] { return selectors.at(next++); });
    for (const char c : stored) {
        const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
        if (!letter && (c < '0' || c > '9'))
            std::abort();
    }
    // Run with a large -max_len, the stored text may pass the longest readable one.
    const bool readable = stored.size() <= 32767;
    if (DecodePassword(stored) != (readable ? std::optional<std::string>(password) : std::nullopt))
        std::abort();
    return 0;
}
