#include "ChangeLog.h"

#include "HostLog.h"
#include "ServiceRegistry/HostFramework.h"

namespace svcreg {

namespace {

constexpr int kChangeLevel = 3;
constexpr char kChangeLine[] = "%s '%s' at channel '%s', service id %ld, %s";

// A peer's changes are logged at the rate of the lines about a peer, about its user; the
// daemon's own, made when a channel's process ended, each.
void logEach(const char* change, const std::vector<ServiceRecord>& entries) {
    if (entries.empty() || !loggingOnAppUni("HostRuntime", kChangeLevel)) return;
    const PeerCredentials* caller = HostFramework::currentCaller();
    if (caller == nullptr) {
        for (const ServiceRecord& entry : entries) {
            HOST_TRACE(kChangeLevel, kChangeLine, change, entry.ifc.c_str(), entry.channel.c_str(),
                       entry.svcId, "as its process ended");
        }
        return;
    }
    const std::string who = LogLimiter::aboutUser(caller->uid), by = "by " + caller->describe();
    for (const ServiceRecord& entry : entries) {
        HOST_PEER_TRACE(kChangeLevel, who, kChangeLine, change, entry.ifc.c_str(),
                        entry.channel.c_str(), entry.svcId, by.c_str());
    }
}

}  // namespace

void ChangeLog::registered(const std::vector<ServiceRecord>& entries) {
    logEach("Registered", entries);
}

void ChangeLog::removed(const std::vector<ServiceRecord>& entries) {
    logEach("Removed", entries);
}

}  // namespace svcreg
