#include "simulator/tarvex_model.h"

#include <cstdio>

namespace tarvex_sim {

namespace {

namespace protocol = tarvex_protocol;

int slotOf(ItemKind kind, int number)
{
    return kind == ItemKind::Modification ? protocol::ModificationItem(number - 1)
                                          : protocol::FaultItem(number - 1);
}

std::string numberList(const std::vector<int> &numbers)
{
    if (numbers.empty())
        return "none";
    std::string text;
    for (int number : numbers) {
        if (!text.empty())
            text += ',';
        text += std::to_string(number);
    }
    return text;
}

} // namespace

Item ItemAt(int item)
{
    if (item < ModificationCount)
        return {ItemKind::Modification, item + 1};
    return {ItemKind::Fault, item - ModificationCount + 1};
}

Effect BaseModel::receive(std::uint8_t byte)
{
    Effect effect;
    effect.byte = byte;
    if (byte == protocol::Probe) {
        effect.action = Action::Probe;
        effect.answer = ProbeAnswer;
    } else if (byte == protocol::ResetAll) {
        effect.action = Action::Reset;
        for (bool &item : m_items) {
            effect.changed = effect.changed || item;
            item = false;
        }
    } else if ((byte & protocol::ItemCommandMask) == protocol::InsertBase) {
        const int slot = byte & protocol::ItemMask;
        const bool insert = (byte & protocol::RemoveBit) == 0;
        const Item item = ItemAt(slot);
        effect.action = insert ? Action::Insert : Action::Remove;
        effect.kind = item.kind;
        effect.number = item.number;
        effect.changed = m_items[slot] != insert;
        m_items[slot] = insert;
    }
    return effect;
}

bool BaseModel::isInserted(ItemKind kind, int number) const
{
    const int count = kind == ItemKind::Fault ? FaultCount : ModificationCount;
    return number >= 1 && number <= count && m_items[slotOf(kind, number)];
}

std::vector<int> BaseModel::inserted(ItemKind kind) const
{
    const int count = kind == ItemKind::Fault ? FaultCount : ModificationCount;
    std::vector<int> numbers;
    for (int number = 1; number <= count; ++number) {
        if (m_items[slotOf(kind, number)])
            numbers.push_back(number);
    }
    return numbers;
}

std::string BaseModel::stateText() const
{
    return "faults=" + numberList(inserted(ItemKind::Fault))
        + " mods=" + numberList(inserted(ItemKind::Modification));
}

std::string Describe(const Effect &effect)
{
    switch (effect.action) {
    case Action::Probe:
        return effect.answer ? "probe, answered " + HexByte(*effect.answer) : "probe, not answered";
    case Action::Reset:
        return "reset, every fault and modification removed";
    case Action::Insert:
    case Action::Remove: {
        const bool insert = effect.action == Action::Insert;
        std::string text = insert ? "insert " : "remove ";
        text += effect.kind == ItemKind::Fault ? "fault " : "mod ";
        text += std::to_string(effect.number);
        if (!effect.changed)
            text += insert ? ", was already inserted" : ", was not inserted";
        return text;
    }
    case Action::Unknown:
        break;
    }
    return "unknown byte, ignored";
}

std::string HexByte(std::uint8_t byte)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", static_cast<unsigned>(byte));
    return text;
}

} // namespace tarvex_sim
