#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Defaults.h"
#include "HostExport.h"
#include "Outcome.h"
#include "ServiceRecord.h"

namespace svcreg {

/// Where a RegistryClient finds the registry, whom it trusts, and how long it waits.
struct ClientOptions {
    /// The folder of the channels' sockets (see defaultRuntimeDirectory()).
    std::string runtimeDirectory = defaultRuntimeDirectory();
    /// The channel the registry daemon serves; or `NAME@DEVICE`, the channel NAME of another
    /// device's registry daemon, reached through this device's (which serves the gateway to
    /// other devices when it federates). Another device's registry shares no table with this
    /// device: its lookups go by text commands and remote calls.
    std::string registryChannel = kDefaultRegistryChannel;
    /// The registry library, whose proxy makes the client's remote calls.
    std::string library = defaultRegistryLibrary();
    /// Besides root and the client's own user, the user whose registry the client trusts: the
    /// system daemon's. $SVCREG_REGISTRY_USER, else "svcreg".
    std::string registryUser = defaultRegistryUser();
    /// How long each request may take, from its start to its end, whatever it asks on the way
    /// (the shared table, text commands, remote calls); a registry whose listen backlog is full
    /// is tried again within it.
    std::chrono::milliseconds timeout{5000};
};

/// What a watch of the registry is told (see RegistryClient::watch()).
struct RegistryEvent {
    /// What happened.
    enum class Kind {
        Replayed,    ///< The entry was registered already when the watch began.
        Registered,  ///< The entry was registered.
        Removed,     ///< The entry was deregistered, or its process ended.
        /// The registry went away (the entry is empty); the client watches again once one serves
        /// the channel.
        Lost,
        /// The watch goes on with a registry started again (the entry is empty): what it holds
        /// is replayed next.
        Restarted,
    };
    Kind kind;  ///< What happened.
    /// The entry it happened to, without its owner (pid and user are empty).
    ServiceRecord entry;
};

/// What the registry daemon reports of itself (RegistryClient::status(), `svcreg status`), by
/// name, in the order to show: "pid", "version", "uptime" (seconds), "runtime-dir", "channel",
/// the counts "entries", "creators", "subscribers" and "connections", then "limit.NAME" for each
/// limit it runs with. Named pairs rather than fields: the daemon says which limits it has.
using StatusReport = std::vector<std::pair<std::string, std::string>>;

/// A service the registry starts when an interface it offers is looked up and nobody serves it
/// (see RegistryClient::declaredServices()).
struct DeclaredService {
    std::string name;                     ///< Its declaration's name (the file NAME.service).
    std::string state;                    ///< "idle", "starting", "running" or "failed".
    std::string reason;                   ///< For "failed", why its last start failed.
    std::string channel;                  ///< The channel it serves.
    std::vector<std::string> interfaces;  ///< The interfaces it offers.
    std::optional<long> pid;              ///< The pid it was started as, while it runs.
};

/// Whom the entries of a registration belong to while no process serves their channel; where
/// one does, they are that process's, and end with it, either way.
enum class EntryOwner {
    Caller,  ///< They end with the process that registered them: a service's own registration.
    Nobody,  ///< They stay until deregistered: an operator's entry for a channel served elsewhere.
};

/// Whether RegistryClient::wait() waits for any interface or only a declared one.
enum class WaitMode {
    Always,      ///< Waits for ifc, whoever is to register it.
    IfDeclared,  ///< Fails at once unless ifc is registered or a declared service offers it.
};

/// A program's line to a running registry: lookups in the table the registry shares with its
/// clients, read in memory without a request (or, where it shares none, by text command over
/// the socket), registrations by remote method call, and the registry's announcements of changes.
/// A lookup sees every change acknowledged, to any process, before it began. Replies and
/// announcements come back over the client's own connection, to a private channel (see
/// HostFramework.h): the client needs no write access to the runtime directory. It deals only
/// with a registry run by root, by its own user or by the registry's user.
///
/// Each request returns an Outcome, or a Result holding what it asked for, that says how it
/// ended (Status) and why. The requests are named as the svcreg commands that make them:
///
///     svcreg command   request                  svcreg command   request
///     list             list(),                  reg              reg()
///                      declaredServices()
///     status           status()                 dereg            dereg()
///     find             find()                   register         registerInterfaces()
///     find-svc-id      findSvcId()              deregister       deregisterInterfaces()
///     getlist          getList()                reg-invoker      regInvoker()
///     details          details()                reg-proxy        regProxy()
///     find-invoker     findInvoker()            watch            watch(), unwatch()
///     find-proxy       findProxy()              wait             wait()
///     is-declared      isDeclared()
///
/// A declared service (one the registry knows how to start: see docs/DECLARED-SERVICES.md) is
/// started by the lookups find(), findSvcId() and getList(), and by wait(), when they miss one
/// of its interfaces: they ask the registry to start it, then wait, within the request's
/// timeout, until it has registered, and answer then. Where the registry shares its table, the
/// table says which interfaces are declared: a miss of any other stays a read in memory.
/// open() first: until it succeeds every request fails with Status::CannotStart.
///
/// Threads: one request at a time; threads that ask at once use a client each. A watch's
/// callback runs on the client's own threads: the one that carries its answers, and for Lost the
/// one that watches again. From inside it, whatever other request is under way:
///   - the lookups (find(), findSvcId(), getList(), details(), findInvoker(), findProxy()) work:
///     they read the table the registry shares, in memory;
///   - every other request, unwatch() included, and a lookup where the registry shares no table,
///     fails at once with Status::InsideWatch: its answer would come on the very thread that runs
///     the callback. Hand that work to another thread (or use another client).
///
/// Once unwatch() returns, the callback is not running and is not called again. interrupt() may
/// be called from anywhere.
///
/// Link it with the CMake target ServiceRegistry::Client (find_package(ServiceRegistry)), or
/// with pkg-config's ServiceRegistry.
class HOST_API RegistryClient {
public:
    /// A client of the registry options name; it reaches nothing before open().
    explicit RegistryClient(ClientOptions options = ClientOptions());
    /// Stops the client's threads and closes its connection: a watch under way ends there, and
    /// its callback is not called again. Not from inside that callback.
    ~RegistryClient();
    RegistryClient(const RegistryClient&) = delete;
    RegistryClient& operator=(const RegistryClient&) = delete;

    /// Done when options name a registry channel a socket can have, or `NAME@DEVICE` with such a
    /// NAME (not private) and a device name (1 to 63 letters, digits, '-', '_' or '.'); else
    /// Invalid, saying which rule the name breaks. Any thread.
    static Outcome checkChannel(const ClientOptions& options);

    /// Loads the registry library and serves the client's channel; the first request before it.
    /// Invalid for a channel checkChannel() refuses; CannotStart, saying why, when the library
    /// does not load or the system refuses the client a socket or a thread.
    Outcome open();

    /// Every entry, by interface and then service id, each with its owner's pid and user where
    /// the registry knows them. Asked by remote call.
    Result<std::vector<ServiceRecord>> list();
    /// Every declared service, by name, with how it stands; an empty list from a registry that
    /// has none or knows none. Asked by remote call.
    Result<std::vector<DeclaredService>> declaredServices();
    /// The registry daemon's report on itself, "service.NAME" for each declared service among
    /// its facts (its state, or "failed: REASON"). Asked by remote call.
    Result<StatusReport> status();

    /// @name Lookups
    /// They read the table the registry shares; where it shares none, they go over text
    /// commands, and a name too long for the text reply (which the registry cuts after 99
    /// characters) is asked again by remote call: an answer is whole, or the lookup fails.
    /// NotFound when the registry has no such entry; Invalid for a name holding a comma, which
    /// a text command cannot carry. Allowed inside a watch callback (see the class), where they
    /// start no declared service.
    ///
    /// find(), findSvcId() and getList() of an interface a declared service offers, and nobody
    /// serves, start that service and answer once it has registered (see the class). Then also
    /// Refused, "'IFC' could not start: exit 1" (or "killed by signal 9", ...), when the start
    /// failed or is backed off after a failure; NotFound, "'IFC' did not register within 5 s",
    /// when the request's timeout passes first.
    /// @{

    /// The channel of ifc's first registration.
    Result<std::string> find(const std::string& ifc);
    /// The service id of ifc's first registration.
    Result<ServiceId> findSvcId(const std::string& ifc);
    /// Every channel ifc is registered at, in registration order.
    Result<std::vector<std::string>> getList(const std::string& ifc);
    /// Every entry, by interface and then service id, without owners; an empty list when there
    /// is none.
    Result<std::vector<ServiceRecord>> details();
    /// The creator of ifc's invoker for protocol.
    Result<CreatorRecord> findInvoker(const std::string& ifc, const std::string& protocol);
    /// The creator of ifc's proxy.
    Result<CreatorRecord> findProxy(const std::string& ifc);
    /// @}

    /// Registers each of ifcs at channel under one new service id, by text command; returns once
    /// the registry has handled it. Invalid for no name, or a name holding a space or a comma;
    /// Refused with the registry's reason. The entries stay as EntryOwner::Nobody's do, since a
    /// text command names no owner.
    Outcome reg(const std::vector<std::string>& ifcs, const std::string& channel);
    /// Removes the entries of ifcs at channel, by text command; done whether or not there were
    /// any. Errors as reg().
    Outcome dereg(const std::vector<std::string>& ifcs, const std::string& channel);
    /// As reg(), by remote call: returns the service id the entries got. The entries end with
    /// this process unless owner says Nobody (see EntryOwner).
    Result<ServiceId> registerInterfaces(const std::vector<std::string>& ifcs,
                                         const std::string& channel,
                                         EntryOwner owner = EntryOwner::Caller);
    /// As dereg(), by remote call.
    Outcome deregisterInterfaces(const std::vector<std::string>& ifcs, const std::string& channel);
    /// Registers lib, the plug-in library, and creatorFn, the function in it that makes ifc's
    /// invoker for protocol, by remote call. Refused with the registry's reason.
    Outcome regInvoker(const std::string& lib, const std::string& creatorFn, const std::string& ifc,
                       const std::string& protocol);
    /// As regInvoker(), for ifc's proxy.
    Outcome regProxy(const std::string& lib, const std::string& creatorFn, const std::string& ifc,
                     const std::string& protocol);

    /// A text command ("find_svc_id:com.ex.Ifc", ...) and the text of its reply, as the registry
    /// sent it: cut after 99 characters where the registry cuts it.
    Result<std::string> ask(const std::string& command);
    /// A text command that gets no reply; returns once the registry has handled it.
    Outcome tell(const std::string& command);

    /// From now until unwatch(), told receives each entry registered already (Replayed), then
    /// each change, in order, on the client's threads (see the class for what it may ask). When
    /// the registry goes away it gets Lost, and the client tries again and again, less often
    /// over time (up to every 2 s), until a registry serves the channel: then Restarted, and its
    /// replay. Whatever told touches must outlive the watch. A told that throws loses only the
    /// event it threw on: the exception is caught, the first of each watch logged, naming the
    /// watch, and every later event still comes. Fails as a remote call does.
    Outcome watch(std::function<void(const RegistryEvent&)> told);
    /// Ends the watch; once it returns, the callback is not running and is not called again.
    Outcome unwatch();
    /// Whether ifc is offered by a declared service, registered or not: read in the shared
    /// table, or where the registry shares none asked by remote call. Refused by a registry
    /// that does not report declarations.
    Result<bool> isDeclared(const std::string& ifc);
    /// Done once ifc is registered, NotFound when timeout passes first, Interrupted by
    /// interrupt(). A registry that is not there yet, or goes away meanwhile, is waited for:
    /// Unreachable when none was reached in time. It sleeps until the shared table changes, or
    /// where none is shared uses the client's watch: a client that watches cannot also wait
    /// (Invalid). An interface of a declared service is started as the lookups start it, and
    /// fails as they do: Refused when its start failed, NotFound "'IFC' did not register
    /// within N s". With WaitMode::IfDeclared, NotFound, "'IFC' is not declared", at once for
    /// an interface neither registered nor declared.
    Outcome wait(const std::string& ifc, std::chrono::milliseconds timeout,
                 WaitMode mode = WaitMode::Always);
    /// Ends a wait under way, or else the next one, from any thread. A watch under way does not
    /// end: unwatch() ends it.
    void interrupt();

    /// The client's own private channel, to which the registry answers. Any thread.
    const std::string& ownChannel() const;

private:
    class Impl;
    std::unique_ptr<Impl> impl;
};

}  // namespace svcreg
