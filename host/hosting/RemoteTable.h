#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "ServiceRegistry/ServiceRecord.h"
#include "TableSnapshot.h"

namespace svcreg {

// Other devices' entries, kept beside the library, which holds only this device's. An entry is
// stored at CHANNEL@DEVICE, CHANNEL being its channel on that device, under that device's own
// service id, and kept in lookup order: by interface, then by device name, then by that id. Not
// thread-safe: the pipeline changes and reads it under its lock.
class RemoteTable {
public:
    // The channel an entry of device at channel is stored at here.
    static std::string storedChannel(const std::string& channel, const std::string& device);

    // Stores entry of device; returns it as stored, or nothing when it is there already.
    std::optional<ServiceRecord> add(const std::string& device, const ServiceRecord& entry);
    // Whether entry of device is stored.
    bool holds(const std::string& device, const ServiceRecord& entry) const;
    // Removes entry of device; returns it as it was stored, or nothing when it was not there.
    std::optional<ServiceRecord> remove(const std::string& device, const ServiceRecord& entry);
    // Removes every entry of device; returns them as they were stored.
    std::vector<ServiceRecord> drop(const std::string& device);
    // Removes every entry for which removing, given its device and the entry as that device
    // has it, returns true; returns them as they were stored.
    std::vector<ServiceRecord> removeWhere(
        const std::function<bool(const std::string& device, const ServiceRecord& entry)>& removing);

    std::size_t size() const { return entries.size(); }
    std::size_t entriesOf(const std::string& device) const;
    // The bytes entries take in a listing of the table (see RegistryState::bytesOf): of
    // device's, and of every device's. The ids are the devices' own, so their digits past those
    // the local count leaves room for are counted too.
    std::size_t bytesOf(const std::string& device) const;
    std::size_t bytes() const { return byteTotal; }
    // What entry of device would add to them.
    static std::size_t bytesOf(const std::string& device, const ServiceRecord& entry);
    bool offers(const std::string& ifc) const;
    // The entries of ifc, in lookup order.
    std::vector<ServiceRecord> entriesFor(const std::string& ifc) const;
    // Every entry, in lookup order.
    std::vector<ServiceRecord> all() const;
    // Views into the entries, in lookup order, valid until the next change.
    std::vector<SnapshotEntry> views() const;

private:
    // ifc, device, the device's service id, the stored channel.
    using Key = std::tuple<std::string, std::string, ServiceId, std::string>;
    static ServiceRecord recordOf(const Key& key);
    static std::size_t listedBytes(const Key& key);
    static Key keyOf(const std::string& device, const ServiceRecord& entry);
    std::set<Key>::const_iterator firstOf(const std::string& ifc) const;

    // What each device holds.
    struct Held {
        std::size_t entries = 0;
        std::size_t bytes = 0;
    };
    void count(const Key& key);
    void uncount(const Key& key);

    std::set<Key> entries;
    std::map<std::string, Held> heldByDevice;
    std::size_t byteTotal = 0;
};

// The entries of local, each interface's in their order, and after each interface's the remote
// ones of it (RemoteTable::views), in their order; both sorted by interface. Views into both,
// valid while they are.
std::vector<SnapshotEntry> withRemoteEntries(const std::vector<SnapshotEntry>& local,
                                             const std::vector<SnapshotEntry>& remote);

}  // namespace svcreg
