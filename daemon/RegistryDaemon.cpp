#include "RegistryDaemon.h"

#include "Invoker.h"
#include "Service.h"
#include "ServiceRegistryIfc.h"

RegistryDaemon::RegistryDaemon(const HostOptions& options, std::string channel)
    : channel(std::move(channel)), framework(options) {}

RegistryDaemon::~RegistryDaemon() {
    stop();
}

bool RegistryDaemon::start(const std::string& libraryPath, std::string& error, UniqueFd listener) {
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

    framework.addProxyCreator("ServiceRegistryObserverIfc",
                              library.createServiceRegistryObserverProxy);
    framework.setSubscriptionRegistry(registryIfc);
    if (!framework.bindChannel(channel, registry.get(), error, std::move(listener))) return false;
    framework.bindInvoker(channel, "ServiceRegistryIfc", *invoker, *registry);
    framework.start();
    return true;
}

void RegistryDaemon::stop() {
    framework.stop();
    if (registry != nullptr) registry->shutdown();
    invoker.reset();
    registry.reset();
}
