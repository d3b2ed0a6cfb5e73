#include "RegistryTrust.h"

#include <unistd.h>

#include "AccountNames.h"
#include "HostLog.h"

namespace svcreg {

RegistryTrust::RegistryTrust(const std::string& registryUser)
    : registryUid(uidOfUser(registryUser)) {}

bool RegistryTrust::admitsPeer(const PeerCredentials& peer, const std::string& servedChannel) {
    if (servedChannel.empty()) return false;
    const uid_t uid = peer.uid;
    if (uid == 0 || uid == geteuid() || uid == registryUid) return true;
    const std::string who =
        "uid " + std::to_string(static_cast<long>(uid)) + " (pid " + std::to_string(peer.pid) + ")";
    HOST_FAILURE("Channel '%s' is served by %s, which this client does not trust",
                 servedChannel.c_str(), who.c_str());
    MutexLock hold(mutex);
    lastRefused = who;
    return false;
}

std::string RegistryTrust::refused() const {
    MutexLock hold(mutex);
    return lastRefused;
}

}  // namespace svcreg
