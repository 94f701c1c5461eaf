#pragma once

#include <cstdint>

// What travels on the serial line to the Tarvex base. Every command is one byte
// sent alone, with no framing; only the probe is answered. Standard C++ only:
// the programs, the Windows probe tool, the simulator and the benchmark all
// speak it.
namespace tarvex_protocol {

inline constexpr int FaultCount = 12;
inline constexpr int ModificationCount = 20;
inline constexpr int ItemCount = ModificationCount + FaultCount;

// Item commands have bit 7 clear and bit 6 set; bit 5 tells remove from
// insert; bits 4..0 hold the item: modifications 1..20 are items 0..19, faults
// 1..12 items 20..31.
inline constexpr std::uint8_t InsertBase = 0x40;
inline constexpr std::uint8_t RemoveBase = 0x60;
inline constexpr std::uint8_t ItemCommandMask = 0xC0;
inline constexpr std::uint8_t RemoveBit = 0x20;
inline constexpr std::uint8_t ItemMask = 0x1F;

inline constexpr std::uint8_t ResetAll = 0x80;
// A base that is there answers it with one byte, whatever its value.
inline constexpr std::uint8_t Probe = 0xC0;

// Items by index from 0, as the window's button arrays hold them.
constexpr int ModificationItem(int modIndex) { return modIndex; }
constexpr int FaultItem(int faultIndex) { return ModificationCount + faultIndex; }

constexpr std::uint8_t ItemCommand(std::uint8_t base, int item)
{
    return static_cast<std::uint8_t>(base + item);
}
constexpr std::uint8_t ModCommand(std::uint8_t base, int modIndex)
{
    return ItemCommand(base, ModificationItem(modIndex));
}
constexpr std::uint8_t FaultCommand(std::uint8_t base, int faultIndex)
{
    return ItemCommand(base, FaultItem(faultIndex));
}

// The line: 2400 baud, even parity, 8 data bits, 2 stop bits.
inline constexpr const char *LineSettings = "2400,E,8,2";
// The base answers the probe within this.
inline constexpr int ProbeWaitMs = 100;
// Line events this soon after connecting are the port settling, not a loss.
inline constexpr int SettlingMs = 100;

static_assert(FaultCommand(InsertBase, FaultCount - 1) == 0x5F, "items fit in bits 4..0");
static_assert(ModCommand(RemoveBase, 0) == 0x60);

} // namespace tarvex_protocol
