#include "access_gate/password_encoding.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

// Any stored text, however damaged, must be read without a crash, a hang or an
// access out of bounds; the sanitizers report those.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    const auto password = DecodePassword(text);
    // Each character comes from a number of at least one digit and its letter.
    if (password && password->size() > size / 2)
        std::abort();

    const std::string decimal = ConvertOctalToDecimal(text);
    for (const char c : decimal) {
        if (c < '0' || c > '9')
            std::abort();
    }
    return 0;
}
