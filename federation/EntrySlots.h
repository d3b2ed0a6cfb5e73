#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>

#include "LocalEntryQueue.h"

// This device's published entries, each in a slot: the number that, with the device's name, keys
// the DDS instance carrying it. The slot of an entry removed is the next entry's, the lowest
// first, so that the instances this device writes are never more than the entries it holds at
// once: DDS keeps something of each instance a writer of transient-local samples ever wrote,
// unregistered or not, until its domain goes.
class EntrySlots {
public:
    using Key = LocalEntryQueue::Key;

    // The slot key now holds; nothing when it held one already.
    std::optional<std::uint32_t> add(const Key& key);
    // The slot key held, free now; nothing when it held none.
    std::optional<std::uint32_t> remove(const Key& key);
    std::size_t size() const { return slots.size(); }
    // Each entry held, and its slot.
    const std::map<Key, std::uint32_t>& held() const { return slots; }
    void clear();

private:
    std::map<Key, std::uint32_t> slots;
    std::set<std::uint32_t> freed;  // below slots.size() + freed.size(), as every slot is
};
