#include "ServiceRegistry/RegistryHost.h"

#include "Invoker.h"
#include "ObserverProxies.h"
#include "Service.h"
#include "ServiceRegistry/RegistryLibrary.h"
#include "ServiceRegistryIfc.h"

namespace svcreg {

RegistryHost::RegistryHost(const HostOptions& options, std::string channel)
    : channel(std::move(channel)), framework(options) {}

RegistryHost::~RegistryHost() {
    stop();
}

bool RegistryHost::start(const std::string& libraryPath, std::string& error, int listeningSocket) {
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
}

}  // namespace svcreg
