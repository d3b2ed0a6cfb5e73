#include "RemoteTable.h"

#include <algorithm>
#include <iterator>

namespace svcreg {

std::string RemoteTable::storedChannel(const std::string& channel, const std::string& device) {
    return channel + "@" + device;
}

RemoteTable::Key RemoteTable::keyOf(const std::string& device, const ServiceRecord& entry) {
    return Key(entry.ifc, device, entry.svcId, storedChannel(entry.channel, device));
}

ServiceRecord RemoteTable::recordOf(const Key& key) {
    return ServiceRecord(std::get<0>(key), std::get<2>(key), std::get<3>(key));
}

std::optional<ServiceRecord> RemoteTable::add(const std::string& device,
                                              const ServiceRecord& entry) {
    const auto [stored, added] = entries.insert(keyOf(device, entry));
    if (!added) return std::nullopt;
    ++countByDevice[device];
    return recordOf(*stored);
}

std::optional<ServiceRecord> RemoteTable::remove(const std::string& device,
                                                 const ServiceRecord& entry) {
    const auto found = entries.find(keyOf(device, entry));
    if (found == entries.end()) return std::nullopt;
    ServiceRecord removed = recordOf(*found);
    entries.erase(found);
    if (--countByDevice[device] == 0) countByDevice.erase(device);
    return removed;
}

std::vector<ServiceRecord> RemoteTable::drop(const std::string& device) {
    std::vector<ServiceRecord> removed;
    for (auto it = entries.begin(); it != entries.end();) {
        if (std::get<1>(*it) != device) {
            ++it;
            continue;
        }
        removed.push_back(recordOf(*it));
        it = entries.erase(it);
    }
    countByDevice.erase(device);
    return removed;
}

std::size_t RemoteTable::entriesOf(const std::string& device) const {
    const auto found = countByDevice.find(device);
    return found == countByDevice.end() ? 0 : found->second;
}

std::set<RemoteTable::Key>::const_iterator RemoteTable::firstOf(const std::string& ifc) const {
    return entries.lower_bound(Key(ifc, std::string(), INT64_MIN, std::string()));
}

bool RemoteTable::offers(const std::string& ifc) const {
    const auto first = firstOf(ifc);
    return first != entries.end() && std::get<0>(*first) == ifc;
}

std::vector<ServiceRecord> RemoteTable::entriesFor(const std::string& ifc) const {
    std::vector<ServiceRecord> found;
    for (auto it = firstOf(ifc); it != entries.end() && std::get<0>(*it) == ifc; ++it) {
        found.push_back(recordOf(*it));
    }
    return found;
}

std::vector<ServiceRecord> RemoteTable::all() const {
    std::vector<ServiceRecord> every;
    every.reserve(entries.size());
    for (const Key& key : entries) every.push_back(recordOf(key));
    return every;
}

std::vector<SnapshotEntry> RemoteTable::views() const {
    std::vector<SnapshotEntry> every;
    every.reserve(entries.size());
    for (const Key& key : entries)
        every.push_back({std::get<0>(key), std::get<3>(key), std::get<2>(key)});
    return every;
}

// std::merge takes from its first range on ties: the local entries of an interface go first.
std::vector<SnapshotEntry> withRemoteEntries(const std::vector<SnapshotEntry>& local,
                                             const std::vector<SnapshotEntry>& remote) {
    std::vector<SnapshotEntry> merged;
    merged.reserve(local.size() + remote.size());
    std::merge(local.begin(), local.end(), remote.begin(), remote.end(), std::back_inserter(merged),
               [](const SnapshotEntry& a, const SnapshotEntry& b) { return a.ifc < b.ifc; });
    return merged;
}

}  // namespace svcreg
