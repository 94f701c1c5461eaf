#pragma once

#include "platform/ui/twips.h"

// The authentication dialog's controls, in twips from its client area's corner.
namespace password_dialog_layout {

using platform::TwipsRect;

constexpr int ClientWidth = 3960;
constexpr int ClientHeight = 1260;

constexpr TwipsRect txt_Password{2160, 360, 1575, 270};
constexpr TwipsRect btn_OK{960, 840, 975, 315};
constexpr TwipsRect btn_Cancel{2040, 840, 975, 315};
constexpr TwipsRect lbl_Password{240, 360, 1575, 255};

static_assert(ClientWidth % platform::TwipsPerPixel == 0 && ClientHeight % platform::TwipsPerPixel == 0);
static_assert(txt_Password.fitsPixels() && btn_OK.fitsPixels() && btn_Cancel.fitsPixels()
              && lbl_Password.fitsPixels());

} // namespace password_dialog_layout
