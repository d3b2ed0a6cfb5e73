#include "ServiceRegistry/RegistryHost.h"

#include "AccountNames.h"
#include "BinaryProtocolAdapter.h"
#include "Invoker.h"
#include "ObserverProxies.h"
#include "RegistryGate.h"
#include "Service.h"
#include "ServiceRegistry/RegistryLibrary.h"
#include "ServiceRegistryIfc.h"

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

RegistryHost::RegistryHost(const HostOptions& options, std::string channel, AccessSettings access)
    : channel(std::move(channel)),
      access(std::move(access)),
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
    invoker.reset(library.createServiceRegistryInvoker());
    invoker->initInvoker(&framework);

    observers = std::make_unique<ObserverProxies>(framework, "ServiceRegistryObserverIfc",
                                                  library.createServiceRegistryObserverProxy);
    observers->setRegistry(registryIfc);
    observers->setRetiredListener([gate = gate.get()](const std::string& subscriberChannel) {
        gate->subscriberGone(subscriberChannel);
    });
    framework.setProxyProvider(observers.get());
    framework.setPeerListener(observers.get());
    if (!framework.bindChannel(channel, registry.get(), error, listeningSocket)) return false;
    framework.bindInvoker(channel, "ServiceRegistryIfc", *invoker, *registry);
    return framework.start(error);
}

void RegistryHost::stop() {
    framework.stop();
    if (registry != nullptr) registry->shutdown();
    invoker.reset();
    registry.reset();
    observers.reset();
    gate.reset();
}

bool RegistryHost::stillReachable(std::string& error) {
    return framework.channelsInPlace(error);
}

}  // namespace svcreg
