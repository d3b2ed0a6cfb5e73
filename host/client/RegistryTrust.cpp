#include "RegistryTrust.h"

#include <pwd.h>
#include <unistd.h>

#include <vector>

#include "HostLog.h"

namespace svcreg {

namespace {

uid_t uidOf(const std::string& user) {
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (getpwnam_r(user.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
        found == nullptr) {
        return static_cast<uid_t>(-1);
    }
    return entry.pw_uid;
}

}  // namespace

RegistryTrust::RegistryTrust(const std::string& registryUser) : registryUid(uidOf(registryUser)) {}

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
