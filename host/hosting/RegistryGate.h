#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "AccessPolicy.h"
#include "RegistryJournal.h"
#include "RegistryUsage.h"
#include "ServiceRegistry/HostFramework.h"
#include "ServiceRegistry/Limits.h"
#include "ServiceRegistry/ServiceRecord.h"

class ProtocolAdapter;

namespace svcreg {

// The registry's gate. Root, the daemon's own user and members of the access group may
// connect; what each may change, whether by text command or by remote call, the policy says,
// and how much each may keep, the quotas. It remembers who registered each entry, so that one
// user cannot deregister another's unless the policy lets it. A refusal is logged with the peer
// and the request, and its reason goes back: in an error message for a text command, beside
// result false for a call.
class RegistryGate final : public AccessGate {
public:
    // accessGroup is -1 for none: then only root and the daemon's user may connect.
    RegistryGate(AccessPolicy policy, gid_t accessGroup, std::string accessGroupName,
                 const RegistryQuotas& quotas, ProtocolAdapter& adapter);

    bool admitsPeer(const PeerCredentials& peer, const std::string& servedChannel) override;
    bool admitsMessage(const PeerCredentials& peer, const std::string& text,
                       std::string& refusal) override;
    bool admitsCall(const PeerCredentials& peer, const std::string& interfaceName,
                    const std::string& remoteContext, const std::string& data,
                    std::string& refusal) override;
    // The subscriber's process is gone: its subscription no longer counts.
    void subscriberGone(const std::string& channel) { usage.removeSubscriber(channel); }
    // The channels subscribed, by observer or by watch.
    std::size_t subscriberCount() { return usage.subscriberCount(); }
    // Counts what a restarted registry holds again as its owners'; what is beyond a quota
    // lowered since stays, uncounted.
    void adopt(const std::vector<JournalRecord>& records);
    // Entries removed without a request, their process being gone.
    void entriesRemoved(const std::vector<ServiceRecord>& entries);

private:
    // One request to change the registry, whichever way it came.
    struct Change {
        Permission what;
        std::string names;    // interface names separated by spaces; the creator's interface
        std::string channel;  // of registrations and deregistrations; the subscriber's channel
        std::vector<std::string> creator;  // library, function and protocol
    };

    // Empty when peer may make change, which is then counted; else why not.
    std::string refusalOf(const PeerCredentials& peer, const Change& change);
    std::string permitted(const PeerCredentials& peer, const Change& change,
                          const std::vector<std::string>& names) const;
    std::string counted(const PeerCredentials& peer, const Change& change,
                        const std::vector<std::string>& names);
    bool admits(const PeerCredentials& peer, const Change& change, const std::string& request,
                std::string& reason);
    std::string refusedReply(const std::string& methodName, const std::string& reason);

    const AccessPolicy policy;
    const gid_t accessGroup;
    const std::string accessGroupName;
    const RegistryQuotas quotas;
    ProtocolAdapter& adapter;
    RegistryUsage usage;
};

}  // namespace svcreg
