#include "RemoteCreators.h"

namespace svcreg {

std::string RemoteCreators::keyOf(bool invoker, const std::string& ifc,
                                  const std::string& protocol) {
    return invoker ? ifc + "," + protocol : ifc;
}

RemoteCreators::Key RemoteCreators::keyOf(const std::string& device, const RemoteCreator& creator) {
    return Key(creator.invoker, keyOf(creator.invoker, creator.ifc, creator.protocol), device);
}

bool RemoteCreators::add(const std::string& device, const RemoteCreator& creator) {
    const auto [stored, added] = creators.try_emplace(keyOf(device, creator), creator);
    if (added) {
        ++countByDevice[device];
        return true;
    }
    RemoteCreator& held = stored->second;
    if (held.lib == creator.lib && held.creatorFn == creator.creatorFn) return false;
    held = creator;
    return true;
}

bool RemoteCreators::holds(const std::string& device, const RemoteCreator& creator) const {
    return creators.count(keyOf(device, creator)) != 0;
}

std::size_t RemoteCreators::drop(const std::string& device) {
    return removeWhere(
        [&device](const std::string& of, const RemoteCreator&) { return of == device; });
}

std::size_t RemoteCreators::removeWhere(
    const std::function<bool(const std::string& device, const RemoteCreator&)>& remove) {
    std::size_t removed = 0;
    for (auto it = creators.begin(); it != creators.end();) {
        const std::string& device = std::get<2>(it->first);
        if (!remove(device, it->second)) {
            ++it;
            continue;
        }
        if (--countByDevice[device] == 0) countByDevice.erase(device);
        it = creators.erase(it);
        ++removed;
    }
    return removed;
}

std::size_t RemoteCreators::creatorsOf(const std::string& device) const {
    const auto found = countByDevice.find(device);
    return found == countByDevice.end() ? 0 : found->second;
}

const RemoteCreator* RemoteCreators::find(bool invoker, const std::string& key) const {
    const auto first = creators.lower_bound(Key(invoker, key, std::string()));
    if (first == creators.end() || std::get<0>(first->first) != invoker ||
        std::get<1>(first->first) != key) {
        return nullptr;
    }
    return &first->second;
}

void RemoteCreators::appendTo(std::vector<SnapshotCreator>& proxies,
                              std::vector<SnapshotCreator>& invokers) const {
    for (const auto& [key, creator] : creators) {
        (std::get<0>(key) ? invokers : proxies)
            .push_back({std::get<1>(key), creator.lib, creator.creatorFn});
    }
}

}  // namespace svcreg
