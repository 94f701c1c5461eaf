#pragma once

#include "platform/ui/ole_colour.h"

// An item's state is the background colour of its button, compared by value.
namespace item_state {
constexpr platform::OleColour Removed = platform::SystemColour(platform::SystemColourButtonFace);
constexpr platform::OleColour Inserted = platform::RgbColour(255, 128, 128);
static_assert(Removed == 0x8000000Fu && Inserted == 0x008080FFu);
} // namespace item_state
