#include "SortedEntries.h"

#include <limits>
#include <tuple>

namespace svcreg {

bool SortedEntries::Key::operator<(const Key& other) const {
    return std::tie(ifc, svcId, added) < std::tie(other.ifc, other.svcId, other.added);
}

void SortedEntries::add(const std::vector<ServiceRecord>& entries) {
    for (const ServiceRecord& entry : entries) {
        channels.emplace(Key{entry.ifc, entry.svcId, ++lastAdded}, entry.channel);
    }
}

void SortedEntries::remove(const std::vector<ServiceRecord>& entries) {
    for (const ServiceRecord& entry : entries) {
        auto at = channels.lower_bound(Key{entry.ifc, entry.svcId, 0});
        const auto end = channels.upper_bound(
            Key{entry.ifc, entry.svcId, std::numeric_limits<std::uint64_t>::max()});
        while (at != end) at = at->second == entry.channel ? channels.erase(at) : std::next(at);
    }
}

std::vector<SnapshotEntry> SortedEntries::inOrder() const {
    std::vector<SnapshotEntry> entries;
    entries.reserve(channels.size());
    for (const auto& [key, channel] : channels) entries.push_back({key.ifc, channel, key.svcId});
    return entries;
}

}  // namespace svcreg
