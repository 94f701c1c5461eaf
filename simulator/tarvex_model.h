#pragma once

#include "protocol/tarvex_protocol.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The Tarvex base as seen from its serial line: a byte comes in, the board's
// 32 items change, and a probe is answered. Standard C++ only, so that the
// simulator and the tests share one model.
namespace tarvex_sim {

inline constexpr int FaultCount = tarvex_protocol::FaultCount;
inline constexpr int ModificationCount = tarvex_protocol::ModificationCount;

// Any value would do for the program on the other end; this one is no command
// byte and no control character, so it is easy to tell apart in a trace.
inline constexpr std::uint8_t ProbeAnswer = 0xA5;

enum class ItemKind { Fault, Modification };
enum class Action { Probe, Reset, Insert, Remove, Unknown };

// An item by kind and number from 1: "fault 3".
struct Item
{
    ItemKind kind = ItemKind::Fault;
    int number = 0;
};
// The item that the protocol numbers `item` (0..31, the low five bits of a command).
Item ItemAt(int item);

// What one received byte did.
struct Effect
{
    std::uint8_t byte = 0;
    Action action = Action::Unknown;
    ItemKind kind = ItemKind::Fault; // Insert and Remove only
    int number = 0;                  // the item's number from 1; Insert and Remove only
    bool changed = false;            // whether any item changed state
    std::optional<std::uint8_t> answer; // what the base sends back
};

class BaseModel
{
public:
    Effect receive(std::uint8_t byte);

    // False for a number outside the kind's range.
    bool isInserted(ItemKind kind, int number) const;
    // The inserted items' numbers, ascending.
    std::vector<int> inserted(ItemKind kind) const;
    // "faults=3,7 mods=12", with "none" for an empty list.
    std::string stateText() const;

private:
    // By item, the low five bits of a command.
    std::array<bool, tarvex_protocol::ItemCount> m_items{};
};

// A readable account of an effect: "insert fault 3", "probe, answered 0xA5".
std::string Describe(const Effect &effect);
// "0x5A"
std::string HexByte(std::uint8_t byte);

} // namespace tarvex_sim
