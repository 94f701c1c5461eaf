#pragma once

#include <QRect>

// Window layouts are given in twips (1/1440 inch); 15 twips make one logical pixel.
namespace platform {

constexpr int TwipsPerPixel = 15;

constexpr int TwipsToPixels(int twips)
{
    return twips / TwipsPerPixel;
}

struct TwipsRect
{
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;

    constexpr bool fitsPixels() const
    {
        return left % TwipsPerPixel == 0 && top % TwipsPerPixel == 0
            && width % TwipsPerPixel == 0 && height % TwipsPerPixel == 0;
    }

    QRect toPixels() const
    {
        return QRect(TwipsToPixels(left), TwipsToPixels(top), TwipsToPixels(width),
                     TwipsToPixels(height));
    }
};

} // namespace platform
