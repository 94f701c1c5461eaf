#pragma once

#include <QColor>
#include <QtGlobal>

class QPalette;

// Colours as 32-bit values: 0x00BBGGRR for a fixed colour, 0x80000000 + n for
// system colour n. Values that carry state are compared as these numbers,
// never as the colour they are painted in.
namespace platform {

using OleColour = quint32;

constexpr OleColour SystemColourFlag = 0x80000000u;
constexpr OleColour SystemColour(int index)
{
    return SystemColourFlag + static_cast<OleColour>(index);
}
constexpr OleColour RgbColour(int red, int green, int blue)
{
    return static_cast<OleColour>(red) | (static_cast<OleColour>(green) << 8)
        | (static_cast<OleColour>(blue) << 16);
}

constexpr int SystemColourActiveBorder = 10;
constexpr int SystemColourButtonFace = 15;

// The colour to paint: a system colour from the palette (or the system, on
// Windows), a fixed colour as its RGB.
QColor ResolveOleColour(OleColour value, const QPalette &palette);

} // namespace platform
