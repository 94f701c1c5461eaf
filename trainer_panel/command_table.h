#pragma once

#include "platform/ole_colour.h"

#include <QString>
#include <QtGlobal>

// Every byte the program sends to the Tarvex base. Each is written alone: no
// framing, and no reply is read, except the probe's.
namespace command_table {

constexpr int FaultCount = 12;
constexpr int ModCount = 20;

// Item commands have bit 6 set; bit 5 tells remove from insert; bits 4..0 hold
// the item number: modifications 1..20 are items 0..19, faults 1..12 items 20..31.
constexpr int InsertBase = 0x40;
constexpr int RemoveBase = 0x60;
constexpr int FaultItemOffset = ModCount;

constexpr quint8 ResetAll = 0x80;
constexpr quint8 Probe = 0xC0;

constexpr quint8 ModCommand(int base, int modIndex)
{
    return static_cast<quint8>(base + modIndex);
}

constexpr quint8 FaultCommand(int base, int faultIndex)
{
    return static_cast<quint8>(base + faultIndex + FaultItemOffset);
}

} // namespace command_table

// The line to the base, and the handshake's timing.
namespace trainer_line {
inline const QString Settings = QStringLiteral("2400,E,8,2");
constexpr int ProbeWaitMs = 100;   // the base must answer the probe within this
constexpr int SettlingMs = 100;    // line events right after connecting are ignored
} // namespace trainer_line

// An item's state is the background colour of its button, compared by value.
namespace item_state {
constexpr platform::OleColour Removed = platform::SystemColour(platform::SystemColourButtonFace);
constexpr platform::OleColour Inserted = platform::RgbColour(255, 128, 128);
static_assert(Removed == 0x8000000Fu && Inserted == 0x008080FFu);
} // namespace item_state
