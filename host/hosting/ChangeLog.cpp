#include "ChangeLog.h"

#include "HostLog.h"
#include "ServiceRegistry/HostFramework.h"

namespace svcreg {

namespace {

constexpr int kChangeLevel = 3;

// The peer whose request is being handled on this thread; else the change is the daemon's own,
// made when a channel's process ended.
std::string madeBy() {
    const PeerCredentials* caller = HostFramework::currentCaller();
    return caller != nullptr ? "by " + caller->describe() : "as its process ended";
}

void logEach(const char* change, const std::vector<ServiceRecord>& entries) {
    if (entries.empty() || !loggingOnAppUni("HostRuntime", kChangeLevel)) return;
    const std::string who = madeBy();
    for (const ServiceRecord& entry : entries) {
        HOST_TRACE(kChangeLevel, "%s '%s' at channel '%s', service id %ld, %s", change,
                   entry.ifc.c_str(), entry.channel.c_str(), entry.svcId, who.c_str());
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
