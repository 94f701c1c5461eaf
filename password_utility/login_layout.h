#pragma once

#include "platform/ui/twips.h"

// The password utility's window, in twips from its client area's corner.
namespace login_layout {

using platform::TwipsRect;

constexpr int ClientWidth = 4980;
constexpr int ClientHeight = 2475;

constexpr TwipsRect txt_Password{2160, 1080, 2205, 345};
constexpr TwipsRect btn_OK{1965, 2040, 1140, 315};
constexpr TwipsRect txt_PasswordConfirmation{2160, 1485, 2205, 345};
constexpr TwipsRect Label2{600, 600, 3855, 255};
constexpr TwipsRect Label1{600, 120, 3855, 375};
constexpr TwipsRect lbl_Password{600, 1110, 840, 270};
constexpr TwipsRect lbl_PasswordConfirmation{585, 1500, 1440, 270};

// Longer pastes are cut; the encoding counts characters in 16 bits.
constexpr int MaxPasswordLength = 32767;
constexpr int MinPasswordLength = 6;

static_assert(ClientWidth % platform::TwipsPerPixel == 0 && ClientHeight % platform::TwipsPerPixel == 0);
static_assert(txt_Password.fitsPixels() && btn_OK.fitsPixels() && txt_PasswordConfirmation.fitsPixels()
              && Label2.fitsPixels() && Label1.fitsPixels() && lbl_Password.fitsPixels()
              && lbl_PasswordConfirmation.fitsPixels());

} // namespace login_layout
