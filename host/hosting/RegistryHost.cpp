#include "ServiceRegistry/RegistryHost.h"

#include <unistd.h>

#include "AccountNames.h"
#include "BinaryProtocolAdapter.h"
#include "ChangeLog.h"
#include "HostLog.h"
#include "Invoker.h"
#include "JournaledRegistry.h"
#include "ObserverProxies.h"
#include "OwnerWatch.h"
#include "RegistryEvents.h"
#include "RegistryEventsProtocol.h"
#include "RegistryGate.h"
#include "RegistryStatus.h"
#include "RegistryStatusProtocol.h"
#include "RuntimeDirectory.h"
#include "Service.h"
#include "ServiceRegistry/RegistryLibrary.h"
#include "ServiceRegistryIfc.h"
#include "StaleFiles.h"

namespace svcreg {

namespace {

HostOptions sharedWith(HostOptions options, gid_t group) {
    options.socketGroup = group;
    return options;
}

// "/etc/svcreg/policy.conf" has its drop-ins in "/etc/svcreg/policy.d".
std::string dropInsOf(const std::string& policyFile) {
    const std::string suffix = ".conf";
    const bool named =
        policyFile.size() > suffix.size() &&
        policyFile.compare(policyFile.size() - suffix.size(), suffix.size(), suffix) == 0;
    return (named ? policyFile.substr(0, policyFile.size() - suffix.size()) : policyFile) + ".d";
}

}  // namespace

RegistryHost::RegistryHost(const HostOptions& options, std::string channel, AccessSettings access,
                           LivenessSettings liveness)
    : channel(std::move(channel)),
      access(std::move(access)),
      liveness(liveness),
      accessGroup(gidOfGroup(this->access.group)),
      framework(sharedWith(options, accessGroup)) {}

RegistryHost::~RegistryHost() {
    stop();
}

bool RegistryHost::start(const std::string& libraryPath, std::string& error, int listeningSocket) {
    AccessPolicy policy(accessGroup);
    if (!policy.load(access.policyFile, dropInsOf(access.policyFile), error)) return false;
    gate = std::make_unique<RegistryGate>(
        std::move(policy), accessGroup, access.group, access.quotas,
        *framework.getProtocolAdapter(BinaryProtocolAdapter::kProtocolName));
    framework.setAccessGate(gate.get());

    RegistryLibrary library;
    if (!library.load(libraryPath, error)) return false;

    registry.reset(library.createServiceRegistry());
    auto* registryIfc = dynamic_cast<ServiceRegistryIfc*>(registry.get());
    if (registryIfc == nullptr) {
        error = "'" + libraryPath + "' made a registry without the ServiceRegistryIfc interface";
        return false;
    }
    registry->init(context);
    keep(*registry);
    invoker.reset(library.createServiceRegistryInvoker());
    invoker->initInvoker(&framework);

    observers = std::make_unique<ObserverProxies>(framework, "ServiceRegistryObserverIfc",
                                                  library.createServiceRegistryObserverProxy);
    observers->setRegistry(journaled.get());
    observers->setRetiredListener([gate = gate.get()](const std::string& subscriberChannel) {
        gate->subscriberGone(subscriberChannel);
    });
    framework.setProxyProvider(observers.get());
    framework.setPeerListener(observers.get());
    removeStaleFiles();
    if (!framework.bindChannel(channel, journaled.get(), error, listeningSocket) ||
        !restoreTables(error)) {
        return false;
    }
    framework.bindInvoker(channel, "ServiceRegistryIfc", *invoker, *journaled);
    framework.bindInvoker(channel, RegistryEventsProtocol::kInterface, *events, *journaled);
    if (liveness.removeDeadOwners && !watchOwners(error)) return false;
    status = std::make_unique<RegistryStatus>(framework, channel, *journaled, *gate, owners.get(),
                                              reportedLimits);
    framework.bindInvoker(channel, RegistryStatusProtocol::kInterface, *status, *journaled);
    return framework.start(error);
}

void RegistryHost::reportLimits(std::vector<std::pair<std::string, std::string>> limits) {
    reportedLimits = std::move(limits);
}

void RegistryHost::keep(Service& loaded) {
    std::unique_ptr<RegistryJournal> journal;
    if (liveness.keepTables) {
        journal = std::make_unique<RegistryJournal>(
            RuntimeDirectory(framework.runtimeDirectory()).statePath(channel));
    }
    journaled = std::make_unique<JournaledRegistry>(loaded, std::move(journal), [] {
        const PeerCredentials* caller = HostFramework::currentCaller();
        return caller != nullptr ? caller->uid : geteuid();
    });
    events = std::make_unique<RegistryEvents>(
        framework, *journaled,
        [gate = gate.get()](const std::string& watcher) { gate->subscriberGone(watcher); });
    journaled->addListener(events.get());
    changes = std::make_unique<ChangeLog>();
    journaled->addListener(changes.get());
}

// Once the channel is this process's (the journal is the channel's), and before anyone can
// reach the tables, they come back from the journal; what they hold counts as its owners' again.
bool RegistryHost::restoreTables(std::string& error) {
    if (!journaled->restore(error)) return false;
    journaled->whileUnchanged(
        [this](const RegistryState& state) { gate->adopt(state.snapshot()); });
    return true;
}

// Each channel with entries is looked into again: one served here before whose process ended
// while the registry was away loses its entries now.
bool RegistryHost::watchOwners(std::string& error) {
    OwnerWatch::Events told;
    told.served = [this](const std::string& served) { journaled->markServed(served); };
    told.gone = [this](const std::string& gone) {
        const std::vector<ServiceRecord> removed = journaled->removeChannel(gone);
        if (removed.empty()) return;
        gate->entriesRemoved(removed);
        HOST_TRACE(4, "Removed %zu entries at channel '%s': its process has ended", removed.size(),
                   gone.c_str());
    };
    told.wanted = [this](const std::string& wanted) {
        bool hasEntries = false;
        journaled->whileUnchanged(
            [&](const RegistryState& state) { hasEntries = !state.namesAt(wanted).empty(); });
        return hasEntries;
    };
    owners = std::make_unique<OwnerWatch>(RuntimeDirectory(framework.runtimeDirectory()),
                                          liveness.watchedChannels, std::move(told));
    if (!owners->start(error)) return false;
    journaled->addListener(owners.get());
    journaled->whileUnchanged([this](const RegistryState& state) {
        for (const std::string& known : state.channels()) {
            owners->look(known, state.isServed(known));
        }
    });
    return true;
}

void RegistryHost::stop() {
    framework.stop();
    if (owners != nullptr) owners->stop();
    if (registry != nullptr) registry->shutdown();
    invoker.reset();
    status.reset();
    owners.reset();
    events.reset();
    changes.reset();
    journaled.reset();
    registry.reset();
    observers.reset();
    gate.reset();
}

std::size_t RegistryHost::removeStaleFiles() {
    return svcreg::removeStaleFiles(RuntimeDirectory(framework.runtimeDirectory()));
}

bool RegistryHost::stillReachable(std::string& error) {
    return framework.channelsInPlace(error);
}

}  // namespace svcreg
