#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "ServiceRegistry/ServiceRecord.h"
#include "TableSnapshot.h"

namespace svcreg {

// The entries of the service table in the order the registry keeps them, by interface and then
// as registered, kept up to date change by change: so that a snapshot of the table is written
// without sorting it again.
class SortedEntries {
public:
    // entries were registered, in this order.
    void add(const std::vector<ServiceRecord>& entries);
    // entries were removed: every entry of each name, id and channel goes.
    void remove(const std::vector<ServiceRecord>& entries);
    // Each entry, in order, as views into this; valid until the next change.
    std::vector<SnapshotEntry> inOrder() const;

private:
    struct Key {
        std::string ifc;
        ServiceId svcId;
        std::uint64_t added;  // orders the entries of one registration
        bool operator<(const Key& other) const;
    };

    std::map<Key, std::string> channels;
    std::uint64_t lastAdded = 0;
};

}  // namespace svcreg
