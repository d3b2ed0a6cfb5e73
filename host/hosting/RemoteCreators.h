#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "ServiceRegistry/RemoteDevices.h"
#include "TableSnapshot.h"

namespace svcreg {

// Other devices' creators of proxies and invokers, kept beside the library, which holds only
// this device's: one of each kind and key per device, the key being the library's (the
// interface for a proxy, "interface,protocol" for an invoker), kept in lookup order: by kind,
// then key, then device name. Not thread-safe: the pipeline changes and reads it under its lock.
class RemoteCreators {
public:
    // The key the library keeps a creator of ifc and protocol under.
    static std::string keyOf(bool invoker, const std::string& ifc, const std::string& protocol);

    // Stores creator of device, in place of its one of that kind and key; false when it is there
    // as it is.
    bool add(const std::string& device, const RemoteCreator& creator);
    // Whether device holds a creator of creator's kind and key.
    bool holds(const std::string& device, const RemoteCreator& creator) const;
    // Removes every creator of device; returns how many there were.
    std::size_t drop(const std::string& device);
    // Removes each creator for which remove, given its device, says so; returns how many.
    std::size_t removeWhere(
        const std::function<bool(const std::string& device, const RemoteCreator&)>& remove);

    std::size_t size() const { return creators.size(); }
    std::size_t creatorsOf(const std::string& device) const;
    // The first creator of the kind and key in lookup order; null when none.
    const RemoteCreator* find(bool invoker, const std::string& key) const;
    // Appends each creator, in lookup order, to those of its kind.
    void appendTo(std::vector<SnapshotCreator>& proxies,
                  std::vector<SnapshotCreator>& invokers) const;

private:
    // invoker, the library's key, device.
    using Key = std::tuple<bool, std::string, std::string>;
    static Key keyOf(const std::string& device, const RemoteCreator& creator);

    std::map<Key, RemoteCreator> creators;
    std::map<std::string, std::size_t> countByDevice;
};

}  // namespace svcreg
