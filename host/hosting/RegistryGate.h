#pragma once

#include <sys/types.h>

#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "AccessPolicy.h"
#include "Mutex.h"
#include "ServiceRegistry/HostFramework.h"

class ProtocolAdapter;

namespace svcreg {

// The registry's gate. Root, the daemon's own user and members of the access group may
// connect; what each may change, whether by text command or by remote call, the policy says.
// It remembers who registered each entry, so that one user cannot deregister another's
// unless the policy lets it. A refusal is logged with the peer and the request; a refused
// call is answered false.
class RegistryGate final : public AccessGate {
public:
    // accessGroup is -1 for none: then only root and the daemon's user may connect.
    RegistryGate(AccessPolicy policy, gid_t accessGroup, std::string accessGroupName,
                 ProtocolAdapter& adapter);

    bool admitsPeer(const PeerCredentials& peer, const std::string& servedChannel) override;
    bool admitsMessage(const PeerCredentials& peer, const std::string& text) override;
    bool admitsCall(const PeerCredentials& peer, const std::string& interfaceName,
                    const std::string& data, std::string& refusal) override;

private:
    // One request to change the registry, whichever way it came.
    struct Change {
        Permission what;
        std::vector<std::string> ifcs;
        std::string channel;  // of registrations and deregistrations
    };
    using Entry = std::pair<std::string, std::string>;  // interface, channel

    bool admits(const PeerCredentials& peer, const Change& change, const std::string& request);
    // Empty when peer may deregister every entry change names; else why not.
    std::string othersEntryIn(const PeerCredentials& peer, const Change& change) TS_REQUIRES(mutex);
    void refuse(const PeerCredentials& peer, const std::string& request, const std::string& reason);
    std::string refusalOf(const std::string& methodName);

    const AccessPolicy policy;
    const gid_t accessGroup;
    const std::string accessGroupName;
    ProtocolAdapter& adapter;

    Mutex mutex;  // guards owners
    std::map<Entry, std::set<uid_t>> owners TS_GUARDED_BY(mutex);
};

}  // namespace svcreg
