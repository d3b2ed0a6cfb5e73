#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "Defaults.h"
#include "HostExport.h"
#include "ServiceRecord.h"

namespace svcreg {

// How a request to the registry ended.
enum class ClientStatus {
    Done,
    NotFound,     // the registry has no such entry
    Refused,      // the registry refused the request, or answered with an error
    Unreachable,  // no registry serves the channel, or it does not keep up
    NoReply,      // the request went out, but no answer came within the timeout
    // A change went out, but no answer came within the timeout or the connection was lost:
    // the registry may or may not have made it.
    Unconfirmed,
    ConnectionLost,  // the connection to the registry closed before the answer came
    Interrupted,     // interrupt() ended a wait
    Invalid,         // a name the request cannot carry: lookups go as text, where commas separate
    Forbidden,       // the system denies this user access to the registry's socket
    Untrusted,       // the registry's channel is served by a user this client does not trust
};

struct ClientOptions {
    std::string runtimeDirectory = defaultRuntimeDirectory();
    std::string registryChannel = kDefaultRegistryChannel;
    std::string library = defaultRegistryLibrary();
    // Besides root and the client's own user, the user whose registry the client trusts: the
    // system daemon's. $SVCREG_REGISTRY_USER, else "svcreg".
    std::string registryUser = defaultRegistryUser();
    // How long each request waits for its answer; a registry whose listen backlog is full is
    // tried again within it.
    std::chrono::milliseconds timeout{5000};
};

// What a watch of the registry is told.
struct RegistryEvent {
    enum class Kind {
        Replayed,    // entry was registered already when the watch began
        Registered,  // entry was registered
        Removed,     // entry was deregistered, or its process ended
        Lost,        // the registry went away (entry empty); the client watches again once one
                     // serves the channel
        Restarted,   // the watch goes on, with a registry started again (entry empty): what it
                     // holds is replayed next
    };
    Kind kind;
    ServiceRecord entry;
};

// An entry of the table with what the registry knows of its owner.
struct OwnedRecord {
    ServiceRecord entry;
    // The process serving the entry's channel, while the registry watches it; else 0.
    long pid = 0;
    // The user who registered the entry; empty when the registry does not know.
    std::string user;
};

// What the registry daemon reports of itself, by name, in the order to show: "pid",
// "version", "uptime" (seconds), "runtime-dir", "channel", the counts "entries", "creators",
// "subscribers" and "connections", then "limit.NAME" for each limit it runs with.
using RegistryFacts = std::vector<std::pair<std::string, std::string>>;

struct CreatorRecord {
    std::string lib;
    std::string creatorFn;
};

// A program's line to a running registry: lookups by text command, registrations by remote
// method call, and the registry's announcements of new interfaces. Replies and announcements
// come back over the client's own connection, to a private channel (see HostFramework.h): the
// client needs no write access to the runtime directory. It deals only with a registry run by
// root, by its own user or by the registry's user.
//
// Each request returns Done or the reason it did not; what it asked for goes to its out
// parameters. One request at a time: threads that ask at once use a client each.
class HOST_API RegistryClient {
public:
    explicit RegistryClient(ClientOptions options = ClientOptions());
    ~RegistryClient();
    RegistryClient(const RegistryClient&) = delete;
    RegistryClient& operator=(const RegistryClient&) = delete;

    // Empty when options name a registry channel a socket can have; else which rule the name
    // breaks.
    static std::string channelProblem(const ClientOptions& options);

    // Loads the registry library and serves the client's channel. False, with a message.
    bool open(std::string& error);

    // The channel, or service id, of ifc's first registration.
    ClientStatus find(const std::string& ifc, std::string& channel);
    ClientStatus findServiceId(const std::string& ifc, long& svcId);
    // Every channel ifc is registered at, in registration order.
    ClientStatus list(const std::string& ifc, std::vector<std::string>& channels);
    ClientStatus details(std::vector<ServiceRecord>& records);
    // Every entry, by interface and then service id, with its owner.
    ClientStatus entries(std::vector<OwnedRecord>& records);
    ClientStatus status(RegistryFacts& facts);
    ClientStatus findInvoker(const std::string& ifc, const std::string& protocol,
                             CreatorRecord& creator);
    ClientStatus findProxy(const std::string& ifc, CreatorRecord& creator);
    // ifcs holds one or more interface names separated by spaces.
    ClientStatus registerInterfaces(const std::string& ifcs, const std::string& channel);
    ClientStatus deregisterInterfaces(const std::string& ifcs, const std::string& channel);
    ClientStatus registerInvoker(const std::string& lib, const std::string& creatorFn,
                                 const std::string& ifc, const std::string& protocol);
    ClientStatus registerProxy(const std::string& lib, const std::string& creatorFn,
                               const std::string& ifc, const std::string& protocol);

    // A text command ("find_svc_id:com.ex.Ifc", ...) and the text of its reply.
    ClientStatus ask(const std::string& command, std::string& reply);
    // A text command that gets no reply; returns once the registry has handled it.
    ClientStatus tell(const std::string& command);

    // From now until unwatch, told receives each entry registered already (Replayed), then each
    // change, in order, on one of the client's threads. When the registry goes away it gets
    // Lost, and the client tries again and again, less often over time (up to every 2 s),
    // until a registry serves the channel: then Restarted, and its replay.
    ClientStatus watch(std::function<void(const RegistryEvent&)> told);
    ClientStatus unwatch();
    // Returns Done once ifc is registered, NotFound when timeout passes first. A registry that
    // is not there yet, or goes away meanwhile, is waited for: Unreachable when none was
    // reached in time.
    ClientStatus waitFor(const std::string& ifc, std::chrono::milliseconds timeout);
    // Ends a waitFor under way, or else the next one, from any other thread.
    // A watch under way does not end: unwatch ends it.
    void interrupt();

    // What a status other than Done means, for a person; for Refused, with the registry's
    // reason when it gave one.
    std::string explain(ClientStatus status) const;
    const std::string& ownChannel() const;

private:
    class Impl;
    std::unique_ptr<Impl> impl;
};

}  // namespace svcreg
