#include "RemoteTable.h"

#include <algorithm>
#include <iterator>

#include "RegistryState.h"

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

// The listing spells an id out in decimal; RegistryState::bytesOf leaves room for this many
// digits of it.
constexpr std::size_t kIdDigitsCounted = 11;

std::size_t RemoteTable::listedBytes(const Key& key) {
    const std::size_t digits = std::to_string(std::get<2>(key)).size();
    return RegistryState::bytesOf(std::get<0>(key), std::get<3>(key)) +
           (digits > kIdDigitsCounted ? digits - kIdDigitsCounted : 0);
}

std::size_t RemoteTable::bytesOf(const std::string& device, const ServiceRecord& entry) {
    return listedBytes(keyOf(device, entry));
}

void RemoteTable::count(const Key& key) {
    const std::size_t bytes = listedBytes(key);
    Held& held = heldByDevice[std::get<1>(key)];
    ++held.entries;
    held.bytes += bytes;
    byteTotal += bytes;
}

void RemoteTable::uncount(const Key& key) {
    const std::size_t bytes = listedBytes(key);
    const auto held = heldByDevice.find(std::get<1>(key));
    held->second.bytes -= bytes;
    byteTotal -= bytes;
    if (--held->second.entries == 0) heldByDevice.erase(held);
}

std::optional<ServiceRecord> RemoteTable::add(const std::string& device,
                                              const ServiceRecord& entry) {
    const auto [stored, added] = entries.insert(keyOf(device, entry));
    if (!added) return std::nullopt;
    count(*stored);
    return recordOf(*stored);
}

bool RemoteTable::holds(const std::string& device, const ServiceRecord& entry) const {
    return entries.count(keyOf(device, entry)) != 0;
}

std::optional<ServiceRecord> RemoteTable::remove(const std::string& device,
                                                 const ServiceRecord& entry) {
    const auto found = entries.find(keyOf(device, entry));
    if (found == entries.end()) return std::nullopt;
    ServiceRecord removed = recordOf(*found);
    uncount(*found);
    entries.erase(found);
    return removed;
}

std::vector<ServiceRecord> RemoteTable::drop(const std::string& device) {
    return removeWhere([&](const std::string& of, const ServiceRecord&) { return of == device; });
}

std::vector<ServiceRecord> RemoteTable::removeWhere(
    const std::function<bool(const std::string& device, const ServiceRecord& entry)>& removing) {
    std::vector<ServiceRecord> removed;
    for (auto it = entries.begin(); it != entries.end();) {
        const auto& [ifc, device, svcId, stored] = *it;
        const ServiceRecord own(ifc, svcId, stored.substr(0, stored.size() - device.size() - 1));
        if (!removing(device, own)) {
            ++it;
            continue;
        }
        removed.push_back(recordOf(*it));
        uncount(*it);
        it = entries.erase(it);
    }
    return removed;
}

std::size_t RemoteTable::entriesOf(const std::string& device) const {
    const auto found = heldByDevice.find(device);
    return found == heldByDevice.end() ? 0 : found->second.entries;
}

std::size_t RemoteTable::bytesOf(const std::string& device) const {
    const auto found = heldByDevice.find(device);
    return found == heldByDevice.end() ? 0 : found->second.bytes;
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
