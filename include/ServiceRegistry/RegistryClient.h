#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "Defaults.h"
#include "HostExport.h"
#include "Outcome.h"
#include "ServiceRecord.h"

namespace svcreg {

struct ClientOptions {
    std::string runtimeDirectory = defaultRuntimeDirectory();
    std::string registryChannel = kDefaultRegistryChannel;
    std::string library = defaultRegistryLibrary();
    // Besides root and the client's own user, the user whose registry the client trusts: the
    // system daemon's. $SVCREG_REGISTRY_USER, else "svcreg".
    std::string registryUser = defaultRegistryUser();
    // How long each request may take, from its start to its end, whatever it asks on the way
    // (the shared table, text commands, remote calls); a registry whose listen backlog is full
    // is tried again within it.
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
    // The process whose end removes the entry, while the registry watches it: the one serving
    // its channel, else the one that registered it by call; 0 for none.
    long pid = 0;
    // The user who registered the entry; empty when the registry does not know.
    std::string user;
};

// What the registry daemon reports of itself, by name, in the order to show: "pid",
// "version", "uptime" (seconds), "runtime-dir", "channel", the counts "entries", "creators",
// "subscribers" and "connections", then "limit.NAME" for each limit it runs with.
using RegistryFacts = std::vector<std::pair<std::string, std::string>>;

// Whom the entries of a registration belong to while no process serves their channel; where one
// does, they are that process's, and end with it, either way.
enum class EntryOwner {
    Caller,  // they end with the process that registered them: a service's own registration
    Nobody,  // they stay until deregistered: an operator's entry for a channel served elsewhere
};

struct CreatorRecord {
    std::string lib;
    std::string creatorFn;
};

// A program's line to a running registry: lookups in the table the registry shares with its
// clients, read in memory without a request (or, where it shares none, by text command over the
// socket), registrations by remote method call, and the registry's announcements of new
// interfaces. A lookup sees every change acknowledged, to any process, before it began. Replies and
// announcements come back over the client's own connection, to a private channel (see
// HostFramework.h): the client needs no write access to the runtime directory. It deals only with a
// registry run by root, by its own user or by the registry's user.
//
// Each request returns an Outcome, or a Result holding what it asked for, that says how it ended
// and why. The requests are named as the svcreg commands that make them:
//
//     svcreg command   request                  svcreg command   request
//     list             list()                   reg              reg()
//     status           status()                 dereg            dereg()
//     find             find()                   register         registerInterfaces()
//     find-svc-id      findSvcId()              deregister       deregisterInterfaces()
//     getlist          getList()                reg-invoker      regInvoker()
//     details          details()                reg-proxy        regProxy()
//     find-invoker     findInvoker()            watch            watch(), unwatch()
//     find-proxy       findProxy()              wait             wait()
//
// open() first: until it succeeds every request fails with CannotStart.
//
// Threads: one request at a time; threads that ask at once use a client each. A watch's callback
// runs on the client's own threads: the one that carries its answers, and for Lost the one that
// watches again. So a request of this client made from inside it, unwatch() included, fails at
// once with InsideWatch; hand the work to another thread (or use another client). Once
// unwatch() returns, the callback is not running and is not called again. interrupt() may be
// called from anywhere.
//
// Link it with the CMake target ServiceRegistry::Client (find_package(ServiceRegistry)), or with
// pkg-config's ServiceRegistry.
class HOST_API RegistryClient {
public:
    explicit RegistryClient(ClientOptions options = ClientOptions());
    ~RegistryClient();
    RegistryClient(const RegistryClient&) = delete;
    RegistryClient& operator=(const RegistryClient&) = delete;

    // Empty when options name a registry channel a socket can have; else which rule the name
    // breaks.
    static std::string channelProblem(const ClientOptions& options);

    // Loads the registry library and serves the client's channel; the first request before it.
    Outcome open();

    // Every entry, by interface and then service id, with its owner.
    Result<std::vector<OwnedRecord>> list();
    Result<RegistryFacts> status();
    // The lookups below read the table the registry shares; where it shares none, they go over
    // text commands, and a name too long for the text reply (which the registry cuts after 99
    // characters) is asked again by remote call: an answer is whole, or the lookup fails.
    // The channel, or service id, of ifc's first registration.
    Result<std::string> find(const std::string& ifc);
    Result<ServiceId> findSvcId(const std::string& ifc);
    // Every channel ifc is registered at, in registration order; NotFound with none.
    Result<std::vector<std::string>> getList(const std::string& ifc);
    // Every entry, by interface and then service id.
    Result<std::vector<ServiceRecord>> details();
    Result<CreatorRecord> findInvoker(const std::string& ifc, const std::string& protocol);
    Result<CreatorRecord> findProxy(const std::string& ifc);

    // Registers each of ifcs at channel under one new service id, by text command; returns once
    // the registry has handled it. A name cannot hold a space or a comma.
    Outcome reg(const std::vector<std::string>& ifcs, const std::string& channel);
    Outcome dereg(const std::vector<std::string>& ifcs, const std::string& channel);
    // As reg, by remote call: returns the service id the entries got. The entries end with this
    // process unless owner says Nobody (see EntryOwner); entries made by reg() stay as
    // EntryOwner::Nobody's do, since a text command names no owner.
    Result<ServiceId> registerInterfaces(const std::vector<std::string>& ifcs,
                                         const std::string& channel,
                                         EntryOwner owner = EntryOwner::Caller);
    Outcome deregisterInterfaces(const std::vector<std::string>& ifcs, const std::string& channel);
    // lib is the plug-in library and creatorFn the function in it that makes ifc's invoker
    // (or proxy) for protocol.
    Outcome regInvoker(const std::string& lib, const std::string& creatorFn, const std::string& ifc,
                       const std::string& protocol);
    Outcome regProxy(const std::string& lib, const std::string& creatorFn, const std::string& ifc,
                     const std::string& protocol);

    // A text command ("find_svc_id:com.ex.Ifc", ...) and the text of its reply, as the registry
    // sent it: cut after 99 characters where the registry cuts it.
    Result<std::string> ask(const std::string& command);
    // A text command that gets no reply; returns once the registry has handled it.
    Outcome tell(const std::string& command);

    // From now until unwatch, told receives each entry registered already (Replayed), then each
    // change, in order, on the client's threads (see above). When the registry goes
    // away it gets Lost, and the client tries again and again, less often over time (up to every
    // 2 s), until a registry serves the channel: then Restarted, and its replay.
    Outcome watch(std::function<void(const RegistryEvent&)> told);
    Outcome unwatch();
    // Done once ifc is registered, NotFound when timeout passes first, Interrupted by
    // interrupt(). A registry that is not there yet, or goes away meanwhile, is waited for:
    // Unreachable when none was reached in time. It sleeps until the shared table changes, or
    // where none is shared uses the client's watch: a client that watches cannot also wait
    // (Invalid).
    Outcome wait(const std::string& ifc, std::chrono::milliseconds timeout);
    // Ends a wait under way, or else the next one, from any other thread. A watch under way
    // does not end: unwatch ends it.
    void interrupt();

    const std::string& ownChannel() const;

private:
    class Impl;
    std::unique_ptr<Impl> impl;
};

}  // namespace svcreg
