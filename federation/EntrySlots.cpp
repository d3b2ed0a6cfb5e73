#include "EntrySlots.h"

std::optional<std::uint32_t> EntrySlots::add(const Key& key) {
    if (slots.count(key) != 0) return std::nullopt;
    std::uint32_t slot = static_cast<std::uint32_t>(slots.size());
    if (!freed.empty()) slot = freed.extract(freed.begin()).value();
    slots.emplace(key, slot);
    return slot;
}

std::optional<std::uint32_t> EntrySlots::remove(const Key& key) {
    const auto found = slots.find(key);
    if (found == slots.end()) return std::nullopt;
    const std::uint32_t slot = found->second;
    slots.erase(found);
    freed.insert(slot);
    return slot;
}

void EntrySlots::clear() {
    slots.clear();
    freed.clear();
}
