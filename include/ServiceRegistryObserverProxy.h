#pragma once

#include <string>

#include "Proxy.h"
#include "ServiceRegistryExport.h"
#include "ServiceRegistryObserverIfc.h"

// Stands in the registry for an observer in another process: each notification goes out as a
// one-way request through the bound ProxyRequest. Destroyed through Proxy or Executable.
class SERVICE_REGISTRY_API ServiceRegistryObserverProxy : public Proxy,
                                                          public ServiceRegistryObserverIfc {
public:
    ServiceRegistryObserverProxy();
    ~ServiceRegistryObserverProxy() override;

    void initProxy(ProxyRequest& request) override;
    // Returns without waiting for the observer.
    void newServiceIfcRegistered(std::string ifc) override;

private:
    ProxyRequest* proxyRequest;  // not owned; written once by initProxy, before any call
};

// Makes a new, unbound observer proxy; the caller owns it.
extern "C" SERVICE_REGISTRY_API Proxy* createServiceRegistryObserverProxy();
