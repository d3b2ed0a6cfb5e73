#include "PeerTable.h"

#include <algorithm>

namespace {
// What a peer can make this device hold: names, and claims of one name (one per live device
// that claims it).
constexpr std::size_t kMostDevices = 1024;
constexpr std::size_t kMostClaimsPerName = 8;
}  // namespace

const Claimant* PeerTable::holder(const Device& device) {
    const auto earliest = std::min_element(
        device.claims.begin(), device.claims.end(),
        [](const Claimant& a, const Claimant& b) { return claimPrecedes(a.claim, b.claim); });
    return earliest == device.claims.end() ? nullptr : &*earliest;
}

void PeerTable::forgetOneDeadDevice() {
    for (auto it = devices.begin(); it != devices.end(); ++it) {
        if (it->second.claims.empty()) {
            devices.erase(it);
            return;
        }
    }
}

bool PeerTable::announce(const std::string& device, const Claimant& claimant, std::int64_t nowMs) {
    svcreg::MutexLock lock(mutex);
    if (devices.size() >= kMostDevices && devices.count(device) == 0) forgetOneDeadDevice();
    if (devices.size() >= kMostDevices && devices.count(device) == 0) return false;
    Device& known = devices[device];
    auto same = std::find_if(known.claims.begin(), known.claims.end(), [&](const Claimant& c) {
        return c.publication == claimant.publication;
    });
    if (same != known.claims.end()) {
        *same = claimant;
    } else if (known.claims.size() < kMostClaimsPerName) {
        known.claims.push_back(claimant);
    } else {
        return false;
    }
    known.lastHeardMs = nowMs;
    const Claimant* holding = holder(known);
    known.leaseMs = holding->leaseMs;
    known.entries = holding->entries;
    return true;
}

void PeerTable::heard(const std::string& device, std::int64_t nowMs) {
    svcreg::MutexLock lock(mutex);
    if (const auto known = devices.find(device); known != devices.end()) {
        known->second.lastHeardMs = nowMs;
    }
}

std::vector<std::string> PeerTable::forgetGone(
    const std::function<bool(const std::string&, std::uint64_t)>& stillThere) {
    svcreg::MutexLock lock(mutex);
    std::vector<std::string> lostHolder;
    for (auto& [name, device] : devices) {
        const Claimant* before = holder(device);
        const std::uint64_t heldBy = before == nullptr ? 0 : before->claim.participant;
        const std::string& named = name;  // a lambda of C++17 takes no structured binding
        device.claims.erase(
            std::remove_if(device.claims.begin(), device.claims.end(),
                           [&](const Claimant& c) { return !stillThere(named, c.publication); }),
            device.claims.end());
        const Claimant* after = holder(device);
        if (before != nullptr && (after == nullptr || after->claim.participant != heldBy)) {
            lostHolder.push_back(name);
        }
    }
    return lostHolder;
}

std::uint64_t PeerTable::holderOf(const std::string& device) const {
    svcreg::MutexLock lock(mutex);
    const auto known = devices.find(device);
    const Claimant* holding = known == devices.end() ? nullptr : holder(known->second);
    return holding == nullptr ? 0 : holding->claim.participant;
}

std::vector<NameClaim> PeerTable::claimsOf(const std::string& device) const {
    svcreg::MutexLock lock(mutex);
    std::vector<NameClaim> claims;
    if (const auto known = devices.find(device); known != devices.end()) {
        for (const Claimant& claimant : known->second.claims) claims.push_back(claimant.claim);
    }
    return claims;
}

bool PeerTable::mayPublish(const std::string& device, std::uint64_t participant) const {
    const std::uint64_t holding = holderOf(device);
    return holding != 0 && holding == participant;
}

std::vector<svcreg::PeerDevice> PeerTable::report() const {
    svcreg::MutexLock lock(mutex);
    std::vector<svcreg::PeerDevice> peers;
    for (const auto& [name, device] : devices) {
        svcreg::PeerDevice peer;
        peer.name = name;
        peer.alive = !device.claims.empty();
        peer.leaseMs = device.leaseMs;
        peer.entries = device.claims.empty() ? 0 : device.entries;
        peer.lastHeardMs = device.lastHeardMs;
        peers.push_back(peer);
    }
    return peers;
}
