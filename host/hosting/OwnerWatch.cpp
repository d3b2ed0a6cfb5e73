#include "OwnerWatch.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "HostLog.h"
#include "RuntimeDirectory.h"

namespace svcreg {

namespace {

// A channel nobody served when looked into on a registration is looked into again on another
// after this long; no more than this many such times are kept.
constexpr std::chrono::seconds kLookInterval{1};
constexpr std::size_t kMostLooksKept = 4096;

}  // namespace

OwnerWatch::OwnerWatch(HostFramework& framework, std::string ownChannel, Events events)
    : framework(framework), ownChannel(std::move(ownChannel)), events(std::move(events)) {}

OwnerWatch::~OwnerWatch() {
    stopLooking();
    MutexLock hold(mutex);
    for (const auto& owner : owners) framework.unwatchPeer(owner.second.watch);
    for (const auto& registrant : registrants) framework.unwatchPeer(registrant.second.watch);
}

void OwnerWatch::stopLooking() {
    looker.stop();
}

// Keyed by the channel and whether it was served: a look that would report a served channel's
// process gone is not folded into one that would not. It takes its turn with the looks of other
// users as one of the user whose channel it is, the owner of its lock file, so that a user who
// asks for many looks at channels of their own holds up others' by one look each at most.
void OwnerWatch::look(const std::string& channel, bool knownServed) {
    if (channel == ownChannel) return;
    looker.ask(userServing(channel), knownServed ? channel + "/served" : channel,
               [this, channel, knownServed] { lookNow(channel, knownServed); });
}

// Called under the table's lock: the look itself happens later, on this object's thread, and only
// where a process may serve the channel at all, so that a registration at a channel nobody
// serves costs no lstat and no hand-over to another thread (a look costs one, for whose turn it
// takes). A served channel nobody is found holding is looked into again once kLookInterval has
// passed.
void OwnerWatch::registered(const std::vector<ServiceRecord>& entries,
                            const PeerCredentials* /*by*/) {
    const std::string* previous = nullptr;
    for (const ServiceRecord& entry : entries) {
        if (previous != nullptr && *previous == entry.channel) continue;  // one look a channel
        previous = &entry.channel;
        if (entry.channel == ownChannel) continue;
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

// The watch is taken before it is kept: a caller that has ended already is told gone on another
// thread, which then finds the registration here, or no longer needs to. Its end waits for the
// registration to be made: the pipeline's lock is held until then.
std::string OwnerWatch::watchingCaller(ServiceId svcId, const RegistryChange& change,
                                       IncomingCall& call, bool& watched) {
    if (change.channel == ownChannel || isOwned(change.channel)) return {};
    std::uint64_t serial = 0;
    {
        MutexLock hold(mutex);
        // The library makes one entry of each name it is asked for.
        serial = keepRegistrant(svcId, Registrant{change.channel, change.interfaces().size(),
                                                  call.peer().pid, call.peer().uid});
    }
    const Result<PeerWatchId> watch =
        call.watchCaller([this, svcId, serial] { registrantEnded(svcId, serial); });
    MutexLock hold(mutex);
    Registrant* found = registrantOf(svcId, serial);
    if (found == nullptr) return {};
    if (watch) {
        found->watch = *watch;
        watched = true;
        return {};
    }
    registrants.erase(svcId);
    if (call.peer().isRemote())
        return "its entries could not end with its connection: " + watch.reason();
    return "its entries could not end with its process: " + watch.reason() +
           "; a registration kept after its process ends needs no watch";
}

void OwnerWatch::watchAgain(ServiceId svcId, const std::string& channel, std::size_t entries,
                            const std::vector<std::string>& caller, uid_t user) {
    const pid_t pid = static_cast<pid_t>(std::atol(caller[0].c_str()));
    std::uint64_t serial = 0;
    {
        MutexLock hold(mutex);
        serial = keepRegistrant(svcId, Registrant{channel, entries, pid, user});
    }
    framework.post([this, svcId, serial, pid, startTime = caller[1], user] {
        const Result<PeerWatchId> watch = framework.watchProcess(
            pid, startTime, user, [this, svcId, serial] { registrantEnded(svcId, serial); });
        {
            MutexLock hold(mutex);
            Registrant* found = registrantOf(svcId, serial);
            if (found != nullptr && watch) {
                found->watch = *watch;
                return;
            }
            if (found != nullptr) {
                HOST_FAILURE("Entries of service id %ld at channel '%s' stay when pid %ld ends: %s",
                             static_cast<long>(svcId), found->channel.c_str(),
                             static_cast<long>(pid), watch.reason().c_str());
                registrants.erase(svcId);
                return;
            }
        }
        // Its entries went before the watch was taken: it would hold a place in the user's share
        // of watched processes for nothing.
        if (watch) framework.unwatchPeer(*watch);
    });
}

void OwnerWatch::callerNotRegistered(ServiceId svcId) {
    PeerWatchId watch = 0;
    {
        MutexLock hold(mutex);
        auto found = registrants.find(svcId);
        if (found == registrants.end()) return;
        watch = found->second.watch;
        registrants.erase(found);
    }
    framework.unwatchPeer(watch);
}

void OwnerWatch::removed(const std::vector<ServiceRecord>& entries, const PeerCredentials* /*by*/) {
    std::vector<PeerWatchId> unwatched;
    {
        MutexLock hold(mutex);
        if (registrants.empty()) return;
        for (const ServiceRecord& entry : entries) {
            auto found = registrants.find(entry.svcId);
            if (found == registrants.end()) continue;
            if (--found->second.entries != 0) continue;
            unwatched.push_back(found->second.watch);
            registrants.erase(found);
        }
    }
    for (const PeerWatchId watch : unwatched) framework.unwatchPeer(watch);
}

std::uint64_t OwnerWatch::keepRegistrant(ServiceId svcId, Registrant registrant) {
    registrant.serial = ++registrantsKept;
    registrants[svcId] = std::move(registrant);
    return registrantsKept;
}

OwnerWatch::Registrant* OwnerWatch::registrantOf(ServiceId svcId, std::uint64_t serial) {
    auto found = registrants.find(svcId);
    return found != registrants.end() && found->second.serial == serial ? &found->second : nullptr;
}

// Told by the watch of the process, on an event loop: what follows may look for the channel's
// process, which is the looker's to do, in the registrant's user's turn. A registration no longer
// here (or another under its id since) has nothing left to do.
void OwnerWatch::registrantEnded(ServiceId svcId, std::uint64_t serial) {
    uid_t user = 0;
    {
        MutexLock hold(mutex);
        const Registrant* found = registrantOf(svcId, serial);
        if (found == nullptr) return;
        user = found->user;
    }
    looker.ask(user, "/" + std::to_string(svcId) + "/" + std::to_string(serial),
               [this, svcId, serial] { registrantEndedNow(svcId, serial); });
}

// A process may have come to serve the channel since: then the entries are its own, when it is
// of the registrant's user. Another user's is handed none of them, as across a restart: a member
// who took the channel of another's registration (seen in the feed of changes) would otherwise
// keep it after its registrant ended, and be answered at as its own.
void OwnerWatch::registrantEndedNow(ServiceId svcId, std::uint64_t serial) {
    Registrant registrant;
    {
        MutexLock hold(mutex);
        Registrant* found = registrantOf(svcId, serial);
        if (found == nullptr) return;
        registrant = std::move(*found);
        registrants.erase(svcId);
    }
    if (!isOwned(registrant.channel) && framework.mayWatchPeer(registrant.channel))
        lookNow(registrant.channel, false);
    if (isOwned(registrant.channel) && userServing(registrant.channel) == registrant.user) return;
    events.registrantGone(svcId);
}

pid_t OwnerWatch::processOf(const ServiceRecord& entry) {
    MutexLock hold(mutex);
    const auto server = owners.find(entry.channel);
    if (server != owners.end()) return server->second.pid;
    const auto registrant = registrants.find(entry.svcId);
    return registrant != registrants.end() ? registrant->second.pid : 0;
}

bool OwnerWatch::isOwned(const std::string& channel) {
    MutexLock hold(mutex);
    return owners.count(channel) != 0;
}

void OwnerWatch::lookNow(const std::string& channel, bool knownServed) {
    if (isOwned(channel)) return;
    const Result<PeerWatch> watching =
        framework.watchPeer(channel, [this, channel] { ended(channel); });
    if (watching == Status::NotFound) {
        if (knownServed) events.gone(channel);
        return;
    }
    if (!watching) {
        HOST_PEER_FAILURE(channel, "Entries at channel '%s' stay when its process ends: %s",
                          channel.c_str(), watching.reason().c_str());
        return;
    }
    const PeerWatchId watch = watching->id;
    const pid_t pid = watching->server;
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
    events.served(channel, userServing(channel), knownServed);
}

// The user whose channel it is, and whose process serves it: the owner of its lock file, which
// only that user can have made there. This process's own user for a channel without one.
uid_t OwnerWatch::userServing(const std::string& channel) const {
    struct stat status {};
    const std::string lock = RuntimeDirectory(framework.runtimeDirectory()).lockPath(channel);
    return lstat(lock.c_str(), &status) == 0 ? status.st_uid : geteuid();
}

void OwnerWatch::ended(const std::string& channel) {
    {
        MutexLock hold(mutex);
        owners.erase(channel);
    }
    events.gone(channel);
}

}  // namespace svcreg
