#pragma once

#include <sys/types.h>

#include <string>

#include "Mutex.h"
#include "ServiceRegistry/HostFramework.h"

namespace svcreg {

// A client's gate: the client deals only with a registry run by root, by the client's own user
// or by the registry's user, so that another user who puts a socket in the registry's place
// cannot answer its questions. Nobody connects to a client.
class RegistryTrust final : public AccessGate {
public:
    explicit RegistryTrust(const std::string& registryUser);

    bool admitsPeer(const PeerCredentials& peer, const std::string& servedChannel) override;

    // The last peer refused, for a person: "uid 1000 (pid 42)".
    std::string refused() const;

private:
    const uid_t registryUid;  // -1 when there is no such user

    mutable Mutex mutex;  // guards lastRefused
    std::string lastRefused TS_GUARDED_BY(mutex);
};

}  // namespace svcreg
