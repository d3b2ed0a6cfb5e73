#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "Mutex.h"
#include "NameClaim.h"
#include "ServiceRegistry/RemoteDevices.h"

// One writer's announcement of a device: its claim of the name and its status.
struct Claimant {
    NameClaim claim;
    std::uint64_t publication = 0;  // the DDS writer that announced it
    std::int64_t leaseMs = 0;
    std::uint32_t entries = 0;
};

// The other devices as this one heard of them: who claims each name, which claim holds it, when
// each was last heard. Read by `svcreg status` from another thread than the bridge's.
class PeerTable {
public:
    // Records claimant's announcement of device; false when this table already holds as many
    // devices, or claims of one name, as a peer may make it hold.
    bool announce(const std::string& device, const Claimant& claimant, std::int64_t nowMs);
    // A sample of device came.
    void heard(const std::string& device, std::int64_t nowMs);
    // Forgets the claims whose writers stillThere, given the device and the writer, says are
    // gone. Returns the devices whose holder went with them: their entries go too.
    std::vector<std::string> forgetGone(
        const std::function<bool(const std::string&, std::uint64_t)>& stillThere);
    // The participant that holds device's name; 0 when none does.
    std::uint64_t holderOf(const std::string& device) const;
    // The live claims of device's name.
    std::vector<NameClaim> claimsOf(const std::string& device) const;
    // Whether participant's entries of device are taken: only when it holds the name. Entries
    // of a device nobody claims would outlive it, since only the end of its claim drops them.
    bool mayPublish(const std::string& device, std::uint64_t participant) const;
    std::vector<svcreg::PeerDevice> report() const;

private:
    struct Device {
        std::vector<Claimant> claims;  // live ones
        std::int64_t lastHeardMs = 0;
        std::int64_t leaseMs = 0;
        std::uint32_t entries = 0;
    };
    static const Claimant* holder(const Device& device);
    void forgetOneDeadDevice() TS_REQUIRES(mutex);

    mutable svcreg::Mutex mutex;  // guards devices; nothing is called out with it held
    std::map<std::string, Device> devices TS_GUARDED_BY(mutex);
};
