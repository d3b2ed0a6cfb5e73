#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "LocalEntryQueue.h"

// This device's published entries, each in a slot: the number that, with the device's name, keys
// the DDS instance carrying it. The slots held are always the lowest ones, 0 up to the entries
// held: the instances this device writes are never more than the entries it holds at once (DDS
// keeps something of each instance a writer of transient-local samples ever wrote, unregistered
// or not, until its domain goes), and a device that reads only the first slots, as many as it
// takes of one device, gets the removed entries' places filled with those it had no room for.
class EntrySlots {
public:
    using Key = LocalEntryQueue::Key;
    // What a removal changes: the last slot goes, and the entry it held, unless it was the one
    // removed, moves to the slot the removed one held.
    struct Removal {
        std::uint32_t freed = 0;
        std::uint32_t slot = 0;
        std::optional<Key> moved;
    };

    // The slot key now holds, the first free one; nothing when it held one already.
    std::optional<std::uint32_t> add(const Key& key);
    // What removing key changed; nothing when it held no slot.
    std::optional<Removal> remove(const Key& key);
    std::size_t size() const { return slots.size(); }
    // Each entry held, and its slot.
    const std::map<Key, std::uint32_t>& held() const { return slots; }
    void clear();

private:
    std::map<Key, std::uint32_t> slots;
    std::vector<Key> keys;  // the key each slot holds, by slot
};
