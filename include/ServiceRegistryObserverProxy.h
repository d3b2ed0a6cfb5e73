#pragma once

/// \file
/// The stand-in, inside the registry, for an observer in another process.

#include <string>

#include "Proxy.h"
#include "ServiceRegistryExport.h"
#include "ServiceRegistryObserverIfc.h"

/// Stands in the registry for an observer in another process: each notification goes out as a
/// one-way request through the bound ProxyRequest. Destroyed through Proxy or Executable.
/// Several threads may notify at once where the bound ProxyRequest allows it.
class SERVICE_REGISTRY_API ServiceRegistryObserverProxy : public Proxy,
                                                          public ServiceRegistryObserverIfc {
public:
    /// An unbound proxy: notifications are dropped until initProxy.
    ServiceRegistryObserverProxy();
    /// Deletes nothing but itself: the request channel is not owned.
    ~ServiceRegistryObserverProxy() override;

    /// Binds the proxy to request (not owned), once, before the first notification.
    void initProxy(ProxyRequest& request) override;
    /// Sends ifc to the observer and returns without waiting for it. Nothing tells whether the
    /// observer got it; an unbound proxy drops it.
    void newServiceIfcRegistered(std::string ifc) override;

private:
    ProxyRequest* proxyRequest;  // not owned; written once by initProxy, before any call
};

/// Makes a new, unbound observer proxy; the caller owns it.
extern "C" SERVICE_REGISTRY_API Proxy* createServiceRegistryObserverProxy();
