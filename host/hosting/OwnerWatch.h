#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "Mutex.h"
#include "RegistryPipeline.h"
#include "SerialWorker.h"
#include "ServiceRegistry/HostFramework.h"

namespace svcreg {

// Watches the process that owns the entries of each channel: the one holding the channel's
// claim in the runtime directory when entries are registered there. When it ends, cleanly or
// killed, the framework's watch of peers says so, and the channel is reported gone. Nothing is
// polled and nothing is held per channel but a place in the framework's watch, shared by every
// channel of one process. Looking reads the kernel's whole table of file locks, which any user
// can make as long as they like: it is done on a thread of this object's, one channel at a time,
// never on the event loops, so that no peer's requests wait for it; users take turns, one look
// each, so that one who asks for many holds up another's by one look at most. A channel nobody
// serves when it is looked into is left alone, unless it is known to have been served here before
// (its process then ended while the registry was away).
//
// Entries registered by a caller that wants them to end with it are that caller's from the
// moment they are made: its process, as the kernel knows it from its connection, is watched
// before they are made, so a caller that ends at once (even before the request is handled)
// takes them along. When it ends and no process of its user serves their channel, the
// registration is reported gone; where one does, they are the serving process's (another user's
// is handed none). A caller on another device has no process here: its connection is watched
// instead (see IncomingCall::watchCaller).
class OwnerWatch final : public TableListener {
public:
    struct Events {
        // channel is served here, by a process of user server: its entries are that process's.
        // again: it was known served before the registry started, maybe by another's process.
        std::function<void(const std::string& channel, uid_t server, bool again)> served;
        // channel's process is gone.
        std::function<void(const std::string& channel)> gone;
        // The process that made registration svcId is gone, and nobody serves its channel.
        std::function<void(ServiceId svcId)> registrantGone;
    };

    // The registry's own channel, ownChannel, is never looked into: its process is this one,
    // and its claim is not where anyone else's is.
    OwnerWatch(HostFramework& framework, std::string ownChannel, Events events);
    ~OwnerWatch();
    OwnerWatch(const OwnerWatch&) = delete;
    OwnerWatch& operator=(const OwnerWatch&) = delete;

    // Looks for channel's process, on this object's thread. knownServed: it was served here
    // before, so nobody serving it now means its process is gone.
    void look(const std::string& channel, bool knownServed = false);
    // Looks for nothing more, and returns once the look under way, if any, has ended: before
    // the framework stops, since looks use it and tell the pipeline.
    void stopLooking();
    // The process whose end removes entry: the one serving its channel, else the one that
    // registered it, while watched; 0 for none.
    pid_t processOf(const ServiceRecord& entry);

    // A channel that gets entries, has a lock file and no process watched is looked into, at
    // most once a second: a storm of registrations at a channel nobody serves costs one look. Its
    // owner stays watched until it ends, whatever becomes of the entries.
    void registered(const std::vector<ServiceRecord>& entries, const PeerCredentials* by) override;
    // On the thread handling the registration, before it is made: its caller is watched from
    // now on, unless the process serving the channel owns its entries. Refused when the
    // caller's user is at its share of watched processes.
    std::string watchingCaller(ServiceId svcId, const RegistryChange& change, IncomingCall& call,
                               bool& watched) override;
    void callerNotRegistered(ServiceId svcId) override;
    // After a restart, on a framework thread: registration svcId, with entries at channel, ends
    // with the process of user that started at startTime, if it still runs; else it is reported
    // gone now.
    void watchAgain(ServiceId svcId, const std::string& channel, std::size_t entries,
                    const std::vector<std::string>& caller, uid_t user);
    // Entries removed are no longer their registrant's to take along.
    void removed(const std::vector<ServiceRecord>& entries, const PeerCredentials* by) override;

private:
    struct Owner {
        PeerWatchId watch;
        pid_t pid;
    };

    // One registration whose entries end with the process that asked for it.
    struct Registrant {
        std::string channel;
        std::size_t entries = 0;  // how many are still registered
        pid_t pid = 0;
        uid_t user = 0;  // whose turn its look takes; -1 (unknown) for callers on other devices
        PeerWatchId watch = 0;
        // Which watch of a caller under svcId this is: a registration refused leaves its id to
        // the next, whose caller's end its own caller's, told late, must not be taken for.
        std::uint64_t serial = 0;
    };

    bool isOwned(const std::string& channel);
    // Keeps registrant as registration svcId's, under a serial of its own, which it returns.
    std::uint64_t keepRegistrant(ServiceId svcId, Registrant registrant) TS_REQUIRES(mutex);
    // The registrant of svcId under serial, if it is still here; else null.
    Registrant* registrantOf(ServiceId svcId, std::uint64_t serial) TS_REQUIRES(mutex);
    void registrantEnded(ServiceId svcId, std::uint64_t serial);
    void registrantEndedNow(ServiceId svcId, std::uint64_t serial);
    uid_t userServing(const std::string& channel) const;
    void lookNow(const std::string& channel, bool knownServed);
    void ended(const std::string& channel);

    HostFramework& framework;
    const std::string ownChannel;
    const Events events;

    Mutex mutex;  // guards owners and lookedAt; no event is told while it is held
    std::map<std::string, Owner> owners TS_GUARDED_BY(mutex);          // by channel
    std::map<ServiceId, Registrant> registrants TS_GUARDED_BY(mutex);  // by registration
    std::uint64_t registrantsKept TS_GUARDED_BY(mutex) = 0;            // the last serial given
    // When each channel without a process watched was last looked into on a registration.
    std::map<std::string, std::chrono::steady_clock::time_point> lookedAt TS_GUARDED_BY(mutex);
    // Last: stopped before the rest goes. Keyed by channel, or by '/', a service id, '/' and a
    // serial for the end of a registrant ('/' is in no channel's name); for the user whose
    // channel it is, or the registrant's.
    SerialWorker looker;
};

}  // namespace svcreg
