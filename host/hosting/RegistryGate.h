#pragma once

#include <sys/types.h>

#include <initializer_list>
#include <memory>
#include <string>

#include "AccessPolicy.h"
#include "Mutex.h"
#include "RegistryChange.h"
#include "ServiceRegistry/HostFramework.h"
#include "ServiceRegistry/Limits.h"
#include "ServiceRegistry/RemoteDevices.h"
#include "ServiceRegistry/ServiceRecord.h"

namespace svcreg {

// The registry's gate. Root, the daemon's own user, members of the access group and callers of
// other devices (vouched for by the gateway) may connect; what each may change, whether by text
// command or by remote call, the policy says, and how long the names it chooses may be and whether
// they may hold control characters, the quotas. The quotas that depend on what the tables hold are
// the pipeline's to check.
class RegistryGate final : public AccessGate {
public:
    // accessGroup is -1 for none: then only root and the daemon's user may connect.
    RegistryGate(AccessPolicy policy, gid_t accessGroup, std::string accessGroupName,
                 const RegistryQuotas& quotas);

    bool admitsPeer(const PeerCredentials& peer, const std::string& servedChannel) override;
    // Empty when the policy lets peer make change and its names are within bounds; else why
    // not. The names are counted before they are taken apart, so that a request of millions of
    // them costs nothing before it is refused by maxNames.
    std::string refusalOf(const PeerCredentials& peer, const RegistryChange& change,
                          std::size_t maxNames) const;
    // Empty when device may publish entry, its channel being the one on that device, and its
    // names are ones the registry takes; else why not.
    std::string refusalOfRemote(const std::string& device, const ServiceRecord& entry) const;
    // The same for a creator of device.
    std::string refusalOfRemote(const std::string& device, const RemoteCreator& creator) const;
    // Whether peer may remove the entries of ifc that other users registered.
    bool mayRemoveOthers(const PeerCredentials& peer, const std::string& ifc) const;
    // Puts policy in force for the checks that begin from now on; a check under way finishes
    // with the policy it began with.
    void replacePolicy(AccessPolicy policy);

private:
    std::shared_ptr<const AccessPolicy> currentPolicy() const;
    // The start of a refusal by the policy: "may not ", naming peer first when it is remote.
    static std::string whoMayNot(const PeerCredentials& peer);
    // Why a change of entries at a channel of another device is refused; empty for a local one.
    static std::string remoteChannelRefusal(const RegistryChange& change);
    // Why device may not publish something of ifc whose names are names; empty when it may.
    std::string refusalOfDevice(const std::string& device, const std::string& ifc,
                                std::initializer_list<std::string> names) const;

    mutable Mutex policyMutex;  // guards policy: the event loops read it while a reload swaps it
    std::shared_ptr<const AccessPolicy> policy TS_GUARDED_BY(policyMutex);
    const gid_t accessGroup;
    const std::string accessGroupName;
    const std::size_t nameLength;
    const bool controlCharactersInNames;
};

}  // namespace svcreg
