#pragma once

#include "platform/ui/twips.h"

// Where every control of the main window stands, in twips from the top-left
// corner of its container (the client area, or a frame's outer corner).
namespace faults_and_mods_layout {

using platform::TwipsRect;

constexpr int ClientWidth = 5535;  // below the menu bar
constexpr int ClientHeight = 5085;

constexpr TwipsRect frame_Connection{120, 120, 3855, 1215};
constexpr TwipsRect lbl_Connection{1440, 540, 2175, 270};     // in frame_Connection
constexpr TwipsRect btn_Connect{360, 480, 975, 315};
constexpr TwipsRect btn_Disconnect{360, 840, 975, 315};
constexpr TwipsRect frame_BoardOptions{120, 1440, 5295, 3255};
constexpr TwipsRect frame_CircuitMods{120, 360, 2295, 2055};  // in frame_BoardOptions
constexpr TwipsRect frame_Faults{2520, 360, 2655, 1215};      // in frame_BoardOptions
constexpr TwipsRect btn_Reset{3360, 1860, 975, 315};          // in frame_BoardOptions
constexpr TwipsRect lbl_info{120, 2580, 5055, 495};           // in frame_BoardOptions
constexpr TwipsRect Label1{3720, 4800, 1695, 255};

// The port menu offers COM 1 to COM 12.
constexpr int PortItems = 12;

// Item buttons stand in a grid in their frame.
constexpr int ItemButtonSize = 315;
constexpr int ItemGridLeft = 120;
constexpr int ItemGridTop = 300;
constexpr int ItemGridStep = 420;
constexpr int ModColumns = 5;
constexpr int FaultColumns = 6;

constexpr TwipsRect ItemButton(int index, int columns)
{
    return TwipsRect{ItemGridLeft + ItemGridStep * (index % columns),
                     ItemGridTop + ItemGridStep * (index / columns), ItemButtonSize, ItemButtonSize};
}

static_assert(ClientWidth % platform::TwipsPerPixel == 0 && ClientHeight % platform::TwipsPerPixel == 0);
static_assert(frame_Connection.fitsPixels() && lbl_Connection.fitsPixels() && btn_Connect.fitsPixels()
              && btn_Disconnect.fitsPixels() && frame_BoardOptions.fitsPixels()
              && frame_CircuitMods.fitsPixels() && frame_Faults.fitsPixels() && btn_Reset.fitsPixels()
              && lbl_info.fitsPixels() && Label1.fitsPixels() && ItemButton(19, ModColumns).fitsPixels());

} // namespace faults_and_mods_layout
