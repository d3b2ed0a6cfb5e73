#include "ChangeLog.h"

#include <algorithm>

#include "HostLog.h"
#include "PeerAccount.h"

namespace svcreg {

namespace {

constexpr int kChangeLevel = 3;
constexpr char kChangeLine[] = "%s '%s' at channel '%s', service id %ld, %s";
// The entries of one of the daemon's own changes logged each; the rest are counted.
constexpr std::size_t kOwnEntriesShown = 8;

// A peer's changes are logged at the rate of the lines about a peer, about its user; the
// daemon's own, made when a process ended, a few lines a change: however many entries a peer
// registers, its end costs the log no more.
void logEach(const char* change, const std::vector<ServiceRecord>& entries,
             const PeerCredentials* caller) {
    if (entries.empty() || !loggingOnAppUni("HostRuntime", kChangeLevel)) return;
    if (caller == nullptr) {
        const std::size_t shown = std::min(entries.size(), kOwnEntriesShown);
        for (std::size_t i = 0; i < shown; ++i) {
            HOST_TRACE(kChangeLevel, kChangeLine, change, entries[i].ifc.c_str(),
                       entries[i].channel.c_str(), entries[i].svcId, "as its process ended");
        }
        if (shown < entries.size()) {
            HOST_TRACE(kChangeLevel, "%s %zu more entries at channel '%s' as its process ended",
                       change, entries.size() - shown, entries.front().channel.c_str());
        }
        return;
    }
    const std::string who = logKeyOf(*caller), by = "by " + caller->describe();
    for (const ServiceRecord& entry : entries) {
        HOST_PEER_TRACE(kChangeLevel, who, kChangeLine, change, entry.ifc.c_str(),
                        entry.channel.c_str(), entry.svcId, by.c_str());
    }
}

}  // namespace

void ChangeLog::registered(const std::vector<ServiceRecord>& entries, const PeerCredentials* by) {
    logEach("Registered", entries, by);
}

void ChangeLog::removed(const std::vector<ServiceRecord>& entries, const PeerCredentials* by) {
    logEach("Removed", entries, by);
}

}  // namespace svcreg
