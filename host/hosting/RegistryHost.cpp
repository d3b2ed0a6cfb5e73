#include "ServiceRegistry/RegistryHost.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "AccountNames.h"
#include "BinaryProtocolAdapter.h"
#include "ChangeLog.h"
#include "Context.h"
#include "DeclaredServices.h"
#include "HostLog.h"
#include "Invoker.h"
#include "LogLimiter.h"
#include "ObserverProxies.h"
#include "OwnerWatch.h"
#include "PeerAccount.h"
#include "RegistryCallAnswers.h"
#include "RegistryCalls.h"
#include "RegistryEvents.h"
#include "RegistryEventsProtocol.h"
#include "RegistryGate.h"
#include "RegistryPipeline.h"
#include "RegistryStatus.h"
#include "RegistryStatusProtocol.h"
#include "RemoteDevicesHost.h"
#include "RuntimeDirectory.h"
#include "Service.h"
#include "ServiceDeclaration.h"
#include "ServiceRegistry/RegistryLibrary.h"
#include "ServiceRegistryIfc.h"
#include "ServiceStarts.h"
#include "StaleFiles.h"
#include "TablePublisher.h"

namespace svcreg {

namespace {

HostOptions sharedWith(HostOptions options, gid_t group) {
    options.socketGroup = group;
    return options;
}

// "/etc/svcreg/policy.conf" has its drop-ins in "/etc/svcreg/policy.d"; no policy file, none.
std::string dropInsOf(const std::string& policyFile) {
    if (policyFile.empty()) return "";
    const std::string suffix = ".conf";
    const bool named =
        policyFile.size() > suffix.size() &&
        policyFile.compare(policyFile.size() - suffix.size(), suffix.size(), suffix) == 0;
    return (named ? policyFile.substr(0, policyFile.size() - suffix.size()) : policyFile) + ".d";
}

// The modules the registry library logs as: ServiceRegistry, ServiceRegistryInvoker, ...
constexpr char kLibraryModules[] = "ServiceRegistry";
// The part of a line's message logged: it may hold names of a whole frame a peer sent.
constexpr std::size_t kLongestLogMessage = 8 * 1024;

// Where declarations are read from when no folder is given.
std::vector<std::string> defaultServicesDirectories() {
    return {std::begin(kDefaultDeclarationFolders), std::end(kDefaultDeclarationFolders)};
}

}  // namespace

// The objects that serve the registry. Member order is destruction order in reverse: the
// framework outlives everything it calls, and each object the ones it uses.
class __attribute__((visibility("hidden"))) RegistryHost::Impl {
public:
    Impl(const HostOptions& options, std::string channel, AccessSettings access,
         LivenessSettings liveness, ActivationSettings activation)
        : channel(std::move(channel)),
          access(std::move(access)),
          liveness(liveness),
          activation(std::move(activation)),
          ownFolder(!options.stateDirectory.empty()),
          accessGroup(gidOfGroup(this->access.group)),
          framework(sharedWith(options, accessGroup)) {}

    Outcome start(const std::string& libraryPath, int listeningSocket);
    void stop();
    Outcome readPolicy(AccessPolicy& policy);

    // Serves loaded through the pipeline, with the feed of its changes.
    void keep(Service& loaded, ServiceRegistry& tables);
    void watchOwners();
    // Starts declared services on demand, when there is a launcher.
    void activate();
    // Reads the declarations and puts them in force (see reloadDeclarations).
    Outcome loadDeclarations();
    void dropUsurpedEntries(const std::vector<DeclaredServices::Usurped>& usurped);
    // Removes the entries of the socket-activated services declared before a reload and no
    // longer so.
    void dropUndeclaredEntries(const std::vector<DeclaredServices::SocketEntries>& before);
    std::string socketProblem(const DeclaredServices::SocketEntries& wanted) const;
    // Makes the socket-activated services' missing entries, as the daemon's own changes.
    void restoreSocketEntries();
    // A declared service's state changed: lookups see it.
    void declaredChanged();
    // Shares the tables with the clients, for lookups without a request; logged when it cannot.
    void share();
    bool handedOver(const std::string& channel, uid_t server);

    const std::string channel;
    const AccessSettings access;
    const LivenessSettings liveness;
    const ActivationSettings activation;
    // The daemon's files (journal, shared table) are kept only in a state directory of its own:
    // in the runtime directory, anyone who may write there could put a file at their names.
    const bool ownFolder;
    const gid_t accessGroup;      // access.group's id; -1 for none
    bool policyFileRead = false;  // the policy in force came from access.policyFile
    Context context;
    HostFramework framework;
    // Destroyed before the framework, and only once it has stopped calling them.
    std::unique_ptr<ObserverProxies> observers;
    std::unique_ptr<RegistryGate> gate;
    std::unique_ptr<Service> registry;
    std::unique_ptr<RegistryPipeline> pipeline;  // the registry as it is served
    std::unique_ptr<RegistryEvents> events;
    std::unique_ptr<RemoteDevicesHost> remote;
    std::unique_ptr<ChangeLog> changes;
    std::unique_ptr<OwnerWatch> owners;
    std::unique_ptr<ServiceStarts> starts;
    std::unique_ptr<DeclaredServices> declared;  // starts through starts
    std::unique_ptr<TablePublisher> publisher;
    std::vector<std::pair<std::string, std::string>> reportedLimits;
    std::unique_ptr<RegistryStatus> status;
    std::unique_ptr<Invoker> invoker;
    std::unique_ptr<RegistryCalls> calls;  // through invoker
};

RegistryHost::RegistryHost(const HostOptions& options, std::string channel, AccessSettings access,
                           LivenessSettings liveness, ActivationSettings activation)
    : impl(std::make_unique<Impl>(options, std::move(channel), std::move(access), liveness,
                                  std::move(activation))) {}

RegistryHost::~RegistryHost() {
    stop();
}

Outcome RegistryHost::start(const std::string& libraryPath, int listeningSocket) {
    return impl->start(libraryPath, listeningSocket);
}

void RegistryHost::reportLimits(std::vector<std::pair<std::string, std::string>> limits) {
    impl->reportedLimits = std::move(limits);
}

void RegistryHost::stop() {
    impl->stop();
}

std::size_t RegistryHost::removeStaleFiles() {
    return svcreg::removeStaleFiles(RuntimeDirectory(impl->framework.runtimeDirectory()));
}

Outcome RegistryHost::reloadPolicy() {
    AccessPolicy policy(impl->accessGroup);
    const Outcome read = impl->readPolicy(policy);
    if (!read) return read;
    impl->gate->replacePolicy(std::move(policy));
    impl->pipeline->policyReplaced();
    return Outcome();
}

Outcome RegistryHost::reloadDeclarations() {
    if (impl->declared == nullptr) {
        return Outcome(Status::Refused, "no declared services: not started, or no launcher");
    }
    return impl->loadDeclarations();
}

RemoteDevices& RegistryHost::remoteDevices() {
    return *impl->remote;
}

DeviceCalls& RegistryHost::deviceCalls() {
    return impl->framework.deviceCalls();
}

void RegistryHost::restoreDeclaredEntries() {
    if (impl->declared != nullptr) impl->restoreSocketEntries();
}

bool RegistryHost::boundLogLine(LogRecord& record, std::string& heldNote) {
    heldNote.clear();
    if (record.message.size() > kLongestLogMessage) {
        record.message.resize(kLongestLogMessage);
        record.message += "...";
    }
    if (std::strncmp(record.module, kLibraryModules, sizeof(kLibraryModules) - 1) != 0) return true;
    const std::string who = "line " + std::to_string(record.line) + " of " + record.sourceFile;
    std::size_t held = 0;
    long long seconds = 0;
    if (!LogLimiter::admitsQuietly(record.sourceFile, who, held, seconds)) return false;
    if (held != 0) {
        heldNote = std::to_string(held) + " more lines like the next about " + who +
                   " were not logged in " + std::to_string(seconds) + " s";
    }
    return true;
}

Outcome RegistryHost::stillReachable() {
    return impl->framework.channelsInPlace();
}

Outcome RegistryHost::Impl::start(const std::string& libraryPath, int listeningSocket) {
    AccessPolicy policy(accessGroup);
    const Outcome read = readPolicy(policy);
    if (!read) return read;
    gate =
        std::make_unique<RegistryGate>(std::move(policy), accessGroup, access.group, access.quotas);
    framework.setAccessGate(gate.get());

    RegistryLibrary library;
    const Outcome loaded = library.load(libraryPath);
    if (!loaded) return loaded;

    registry.reset(library.createServiceRegistry());
    ServiceRegistry* const tables = serviceTablesOf(*registry);
    if (tables == nullptr) {
        return Outcome(Status::CannotStart,
                       "'" + libraryPath + "' made a registry other than ServiceRegistry");
    }
    registry->init(context);
    keep(*registry, *tables);
    invoker.reset(library.createServiceRegistryInvoker());
    invoker->initInvoker(&framework);

    observers = std::make_unique<ObserverProxies>(framework, "ServiceRegistryObserverIfc",
                                                  library.createServiceRegistryObserverProxy);
    observers->setRegistry(pipeline.get());
    observers->setRetiredListener([pipeline = pipeline.get()](const std::string& subscriber) {
        pipeline->subscriberGone(kObserverSubscription, subscriber);
    });
    framework.setProxyProvider(observers.get());
    svcreg::removeStaleFiles(RuntimeDirectory(framework.runtimeDirectory()));
    // Once the channel is this process's (the journal is the channel's), and before anyone can
    // reach the tables, they come back from the journal.
    const Outcome bound = framework.bindChannel(channel, *pipeline, listeningSocket);
    if (!bound) return bound;
    if (std::string error; !pipeline->restore(error)) return Outcome(Status::CannotStart, error);
    calls = std::make_unique<RegistryCalls>(*invoker, *pipeline, *observers);
    framework.bindCallHandler(channel, kRegistryInterface, *calls);
    framework.bindCallHandler(channel, RegistryEventsProtocol::kInterface, *events);
    if (liveness.removeDeadOwners) watchOwners();
    if (!activation.launcher.empty()) activate();
    if (ownFolder) share();
    status = std::make_unique<RegistryStatus>(framework, channel, *pipeline, owners.get(), *remote,
                                              reportedLimits, declared.get());
    framework.bindCallHandler(channel, RegistryStatusProtocol::kInterface, *status);
    return framework.start();
}

// A policy file read before and gone now is an error, not a return to the policy without a file:
// that would open the registry to the whole access group unasked.
Outcome RegistryHost::Impl::readPolicy(AccessPolicy& policy) {
    const bool present = ::access(access.policyFile.c_str(), F_OK) == 0;
    if (policyFileRead && !present) {
        return Outcome(Status::Invalid, access.policyFile + ": " + std::strerror(errno));
    }
    std::string error;
    if (!policy.load(access.policyFile, dropInsOf(access.policyFile), error)) {
        return Outcome(Status::Invalid, error);
    }
    policyFileRead = present;
    return Outcome();
}

void RegistryHost::Impl::keep(Service& loaded, ServiceRegistry& tables) {
    std::unique_ptr<RegistryJournal> journal;
    if (liveness.keepTables && ownFolder) {
        journal = std::make_unique<RegistryJournal>(framework.statePath(channel));
    }
    pipeline = std::make_unique<RegistryPipeline>(loaded, tables, *gate, access.quotas,
                                                  std::move(journal));
    events = std::make_unique<RegistryEvents>(framework, *pipeline);
    pipeline->addListener(events.get());
    remote = std::make_unique<RemoteDevicesHost>(*pipeline);
    changes = std::make_unique<ChangeLog>();
    pipeline->addListener(changes.get());
}

// Each channel with entries is looked into again: one served here before whose process ended
// while the registry was away loses its entries now.
void RegistryHost::Impl::watchOwners() {
    OwnerWatch::Events told;
    told.served = [this](const std::string& served, uid_t server, bool again) {
        if (again && handedOver(served, server)) return;
        pipeline->markServed(served, server);
    };
    told.gone = [this](const std::string& gone) {
        const std::vector<ServiceRecord> removed = pipeline->removeChannel(gone);
        if (removed.empty()) return;
        HOST_TRACE(4, "Removed %zu entries at channel '%s': its process has ended", removed.size(),
                   gone.c_str());
    };
    told.registrantGone = [this](ServiceId registration) {
        const std::vector<ServiceRecord> removed = pipeline->removeRegistration(registration);
        if (removed.empty()) return;
        HOST_TRACE(4,
                   "Removed %zu entries of service id %ld at channel '%s': the process that "
                   "registered them has ended, and nobody serves the channel",
                   removed.size(), static_cast<long>(registration),
                   removed.front().channel.c_str());
    };
    owners = std::make_unique<OwnerWatch>(framework, channel, std::move(told));
    pipeline->addListener(owners.get());
    pipeline->whileUnchanged([this](const RegistryState& state) {
        for (const std::string& known : state.channelNames()) {
            owners->look(known, state.isServed(known));
        }
        for (const RegistryState::CallerOf& caller : state.callers()) {
            owners->watchAgain(caller.id, caller.channel, caller.entries, caller.identity,
                               caller.owner);
        }
    });
}

// The declarations' problems are logged here at start, and told to the caller at a reload.
void RegistryHost::Impl::activate() {
    ServiceStarts::Events told;
    told.exited = [this](pid_t pid, const std::string& reason) { declared->exited(pid, reason); };
    told.timedOut = [this](pid_t pid) { declared->timedOut(pid); };
    starts = std::make_unique<ServiceStarts>(framework, activation, std::move(told));
    declared = std::make_unique<DeclaredServices>(*starts, activation.startTimeout,
                                                  [this] { declaredChanged(); });
    pipeline->addListener(declared.get());
    const Outcome loaded = loadDeclarations();
    if (!loaded) HOST_FAILURE("Declared services: %s", loaded.reason().c_str());
    HOST_TRACE(3, "Declared services: %s", loaded.reason().c_str());
}

Outcome RegistryHost::Impl::loadDeclarations() {
    DeclarationSet read = readServiceDeclarations(activation.servicesDirectories.empty()
                                                      ? defaultServicesDirectories()
                                                      : activation.servicesDirectories);
    const std::size_t count = read.services.size();
    const std::vector<DeclaredServices::SocketEntries> socketEntriesBefore =
        declared->socketEntries();
    std::vector<DeclaredServices::Usurped> usurped;
    pipeline->whileUnchanged([&](const RegistryState& state) {
        const std::vector<ServiceRecord> entries = state.entries();
        declared->replace(std::move(read.services), entries);
        usurped = declared->usurped(entries, [&](ServiceId id) { return state.ownerOf(id); });
        if (publisher != nullptr) publisher->lookupsChanged();
    });
    dropUsurpedEntries(usurped);
    dropUndeclaredEntries(socketEntriesBefore);
    restoreSocketEntries();
    std::string report;
    for (const std::string& problem : read.problems) report += problem + "\n";
    report += "loaded " + std::to_string(count) + " declared services";
    return Outcome(read.problems.empty() ? Status::Done : Status::Invalid, report);
}

// What others registered of an interface before it was declared the service's would answer its
// lookups and keep the service from being started, as a registration now would.
void RegistryHost::Impl::dropUsurpedEntries(const std::vector<DeclaredServices::Usurped>& usurped) {
    for (const DeclaredServices::Usurped& other : usurped) {
        if (!pipeline->deregisterSvcInterfaces(other.entry.ifc, other.entry.channel)) continue;
        HOST_FAILURE("Removed the entry '%s' at '%s' of service id %ld, of %s: %s",
                     other.entry.ifc.c_str(), other.entry.channel.c_str(),
                     static_cast<long>(other.entry.svcId), describeAccount(other.owner).c_str(),
                     other.why.c_str());
    }
}

// A socket-activated service no longer declared takes its entries along; one declared again
// gets them back at once from restoreSocketEntries.
void RegistryHost::Impl::dropUndeclaredEntries(
    const std::vector<DeclaredServices::SocketEntries>& before) {
    const std::vector<DeclaredServices::SocketEntries> now = declared->socketEntries();
    for (const DeclaredServices::SocketEntries& held : before) {
        if (std::find(now.begin(), now.end(), held) == now.end())
            pipeline->deregisterSvcInterfaces(held.names, held.channel);
    }
}

// Why the socket at wanted's channel is not the service manager's for it: none there, or one
// that someone else made. A member may make a socket in the runtime directory while the service
// manager's is not there; lookups must not lead callers to it.
std::string RegistryHost::Impl::socketProblem(const DeclaredServices::SocketEntries& wanted) const {
    const std::string path = framework.runtimeDirectory() + "/" + wanted.channel;
    struct stat status {};
    if (lstat(path.c_str(), &status) != 0 || !S_ISSOCK(status.st_mode)) return "no socket";
    const uid_t user = wanted.user.empty() ? kNoUser : uidOfUser(wanted.user);
    if (status.st_uid == 0 || (user != kNoUser && status.st_uid == user)) return std::string();
    return "a socket of uid " + std::to_string(status.st_uid) + ", neither root's nor " +
           (wanted.user.empty() ? std::string("the declared User=") : "'" + wanted.user + "'");
}

void RegistryHost::Impl::restoreSocketEntries() {
    const std::vector<DeclaredServices::SocketEntries> all = declared->socketEntries();
    // Most daemons declare none: they read no table each second.
    if (all.empty()) return;
    std::vector<DeclaredServices::SocketEntries> missing;
    pipeline->whileUnchanged([&](const RegistryState& state) {
        missing = declared->missingSocketEntries(state.entries());
    });
    for (const DeclaredServices::SocketEntries& wanted : all) {
        const auto lacking = std::find_if(missing.begin(), missing.end(), [&](const auto& entry) {
            return entry.channel == wanted.channel;
        });
        const bool anyHeld = lacking == missing.end() || lacking->names != wanted.names;
        const std::string problem = socketProblem(wanted);
        if (problem.empty() && lacking != missing.end() &&
            !pipeline->registerSvcInterface(lacking->names, wanted.channel)) {
            HOST_FAILURE("Declared entries '%s' at '%s' were refused", lacking->names.c_str(),
                         wanted.channel.c_str());
        }
        if (!problem.empty() && anyHeld) {
            HOST_FAILURE(
                "Declared entries '%s' at '%s' go until the service manager's socket is "
                "there: %s",
                wanted.names.c_str(), wanted.channel.c_str(), problem.c_str());
            pipeline->deregisterSvcInterfaces(wanted.names, wanted.channel);
        }
    }
}

// Under the pipeline's lock, as every move of the table's generation.
void RegistryHost::Impl::declaredChanged() {
    if (publisher == nullptr) return;
    pipeline->whileUnchanged([this](const RegistryState&) { publisher->lookupsChanged(); });
}

// The file sits beside the journal, in the folder only the daemon's user may write.
void RegistryHost::Impl::share() {
    std::string path = framework.statePath(channel);
    const std::string journalSuffix = ".journal";
    if (path.size() >= journalSuffix.size()) path.resize(path.size() - journalSuffix.size());
    std::string error;
    auto shared = std::make_unique<TablePublisher>(*pipeline);
    shared->showDeclared(declared.get());
    if (!shared->open(path + ".table", error)) {
        HOST_FAILURE("Lookups go through the socket only: %s", error.c_str());
        return;
    }
    publisher = std::move(shared);
    framework.bindSharedMemory(channel,
                               [publisher = publisher.get()] { return publisher->share(); });
}

// A channel served before the registry started by a process of one user, and now by one of
// another's, has changed hands meanwhile: its entries are removed, never handed over.
bool RegistryHost::Impl::handedOver(const std::string& channel, uid_t server) {
    std::optional<uid_t> before;
    pipeline->whileUnchanged([&](const RegistryState& state) { before = state.serverOf(channel); });
    if (!before || *before == server) return false;
    const std::vector<ServiceRecord> removed = pipeline->removeChannel(channel);
    HOST_FAILURE(
        "Removed %zu entries at channel '%s': a process of uid %ld serves it now, where one of "
        "uid %ld did when they were registered",
        removed.size(), channel.c_str(), static_cast<long>(server), static_cast<long>(*before));
    return true;
}

// The owner watch's looks run on a thread of its own and use the framework: they end first.
void RegistryHost::Impl::stop() {
    if (owners != nullptr) owners->stopLooking();
    framework.stop();
    if (registry != nullptr) registry->shutdown();
    calls.reset();
    invoker.reset();
    status.reset();
    starts.reset();  // tells declared nothing more
    owners.reset();
    publisher.reset();
    declared.reset();
    events.reset();
    remote.reset();
    changes.reset();
    pipeline.reset();
    registry.reset();
    observers.reset();
    gate.reset();
}

}  // namespace svcreg
