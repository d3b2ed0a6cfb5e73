#include "EntrySlots.h"

std::optional<std::uint32_t> EntrySlots::add(const Key& key) {
    const auto slot = static_cast<std::uint32_t>(keys.size());
    if (!slots.emplace(key, slot).second) return std::nullopt;
    keys.push_back(key);
    return slot;
}

std::optional<EntrySlots::Removal> EntrySlots::remove(const Key& key) {
    const auto found = slots.find(key);
    if (found == slots.end()) return std::nullopt;
    Removal removal;
    removal.slot = found->second;
    removal.freed = static_cast<std::uint32_t>(keys.size() - 1);
    slots.erase(found);
    if (removal.slot != removal.freed) {
        removal.moved = keys.back();
        slots[keys.back()] = removal.slot;
        keys[removal.slot] = keys.back();
    }
    keys.pop_back();
    return removal;
}

void EntrySlots::clear() {
    slots.clear();
    keys.clear();
}
