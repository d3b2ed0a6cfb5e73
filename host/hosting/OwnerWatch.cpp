#include "OwnerWatch.h"

#include <fstream>
#include <optional>
#include <sstream>

#include "HostLog.h"

namespace svcreg {

namespace {

// A channel nobody served when looked into on a registration is looked into again on another
// after this long; no more than this many such times are kept.
constexpr std::chrono::seconds kLookInterval{1};
constexpr std::size_t kMostLooksKept = 4096;

// The effective user of process pid, from /proc; nullopt once it has gone.
std::optional<uid_t> userOf(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Uid:", 0) != 0) continue;
        std::istringstream ids(line.substr(4));
        unsigned long real = 0, effective = 0;
        if (ids >> real >> effective) return static_cast<uid_t>(effective);
    }
    return std::nullopt;
}

}  // namespace

OwnerWatch::OwnerWatch(HostFramework& framework, Events events)
    : framework(framework), events(std::move(events)) {}

OwnerWatch::~OwnerWatch() {
    MutexLock hold(mutex);
    for (const auto& owner : owners) framework.unwatchPeer(owner.second.watch);
}

void OwnerWatch::look(const std::string& channel, bool knownServed) {
    framework.post([this, channel, knownServed] { lookNow(channel, knownServed); });
}

pid_t OwnerWatch::serverOf(const std::string& channel) {
    MutexLock hold(mutex);
    auto found = owners.find(channel);
    return found != owners.end() ? found->second.pid : 0;
}

// Called under the table's lock: the look itself happens later, on a framework thread, and only
// where a process may serve the channel at all, so that a registration at a channel nobody
// serves costs no lstat and no hand-over to another thread. A served channel nobody is
// found holding is looked into again once kLookInterval has passed.
void OwnerWatch::registered(const std::vector<ServiceRecord>& entries) {
    const std::string* previous = nullptr;
    for (const ServiceRecord& entry : entries) {
        if (previous != nullptr && *previous == entry.channel) continue;  // one look a channel
        previous = &entry.channel;
        if (isOwned(entry.channel) || !framework.mayWatchPeer(entry.channel)) continue;
        {
            const auto now = std::chrono::steady_clock::now();
            MutexLock hold(mutex);
            auto looked = lookedAt.find(entry.channel);
            if (looked != lookedAt.end() && now - looked->second < kLookInterval) continue;
            if (lookedAt.size() >= kMostLooksKept) lookedAt.clear();
            lookedAt[entry.channel] = now;
        }
        look(entry.channel);
    }
}

bool OwnerWatch::isOwned(const std::string& channel) {
    MutexLock hold(mutex);
    return owners.count(channel) != 0;
}

void OwnerWatch::lookNow(const std::string& channel, bool knownServed) {
    if (isOwned(channel)) return;
    std::string why;
    pid_t pid = 0;
    const PeerWatchId watch = framework.watchPeer(
        channel, [this, channel] { ended(channel); }, why, &pid);
    if (watch == 0) {
        if (!why.empty()) {
            HOST_PEER_FAILURE(channel, "Entries at channel '%s' stay when its process ends: %s",
                              channel.c_str(), why.c_str());
        } else if (knownServed) {
            events.gone(channel);
        }
        return;
    }
    {
        MutexLock hold(mutex);
        lookedAt.erase(channel);
        if (!owners.emplace(channel, Owner{watch, pid}).second) {  // looked into twice at once
            framework.unwatchPeer(watch);
            return;
        }
        // A process that ended before it was kept here was not here to be forgotten; its
        // entries are gone already.
        if (!framework.stillWatching(watch)) {
            owners.erase(channel);
            return;
        }
    }
    HOST_TRACE(4, "Watching the process of channel '%s', pid %ld", channel.c_str(),
               static_cast<long>(pid));
    // Served before the registry started, the channel may have changed hands meanwhile: its
    // entries are not handed to another user's process.
    const std::optional<uid_t> user = userOf(pid);
    if (knownServed && user) events.servedAgain(channel, *user);
    events.served(channel);
}

void OwnerWatch::ended(const std::string& channel) {
    {
        MutexLock hold(mutex);
        owners.erase(channel);
    }
    events.gone(channel);
}

}  // namespace svcreg
