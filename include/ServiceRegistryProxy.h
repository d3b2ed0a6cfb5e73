#pragma once

#include <string>
#include <vector>

#include "Proxy.h"
#include "ServiceRegistryExport.h"
#include "ServiceRegistryIfc.h"

class Method;

// The registry as seen from another process: the registration and subscription operations go
// out as requests through the bound ProxyRequest and return the reply's "result". The five
// lookups are not carried remotely: they log a failure and return an empty outcome.
// Destroyed through Proxy or Executable; keeps no state between calls.
class SERVICE_REGISTRY_API ServiceRegistryProxy : public Proxy, public ServiceRegistryIfc {
public:
    // The names of the requests this proxy sends.
    static std::string sSubscribeStartupEventsMethodName;
    static std::string sUnsubscribeStartupEventsMethodName;
    static std::string sRegisterSvcInterfaceMethodName;
    static std::string sDeregisterSvcInterfacesMethodName;
    static std::string sRegisterProxyInfoMethodName;
    static std::string sRegisterInvokerInfoMethodName;

    ServiceRegistryProxy();
    ~ServiceRegistryProxy() override;

    void initProxy(ProxyRequest& request) override;

    bool registerSvcInterface(const std::string& ifc, const std::string& channelName) override;
    bool deregisterSvcInterfaces(const std::string& ifc, const std::string& channelName) override;
    bool registerProxyInfo(const std::string& lib, const std::string& creatorFn,
                           const std::string& ifc, const std::string& protocol) override;
    bool registerInvokerInfo(const std::string& lib, const std::string& creatorFn,
                             const std::string& ifc, const std::string& protocol) override;
    std::vector<std::string> findSvcsForIfc(const std::string& ifc) override;
    bool findSvcInterface(const std::string& ifc, std::string& channelName) override;
    bool findInvoker(const std::string& ifc, const std::string& protocol, std::string& lib,
                     std::string& creatorFn) override;
    bool findProxy(const std::string& ifc, std::string& lib, std::string& creatorFn) override;
    std::vector<SvcDetails> getSvcDetailsList() override;
    // The observer must also be an Executable: the registry reaches it through the channel on
    // which that executable receives calls.
    bool subscribeStartupEvents(ServiceRegistryObserverIfc* observer) override;
    bool unsubscribeStartupEvents(ServiceRegistryObserverIfc* observer) override;

private:
    // Sends request (with the callback channel, when there is one) and returns the reply's
    // bool "result", or false when the reply has none.
    bool boolReturnHelper(Method& request, const std::string& callbackChannel);
    bool subscribeMethodHelper(ServiceRegistryObserverIfc* observer, const std::string& methodName);

    ProxyRequest* proxyRequest;  // not owned; written once by initProxy, before any call
};

// Makes a new, unbound proxy; the caller owns it.
extern "C" SERVICE_REGISTRY_API Proxy* createServiceRegistryProxy();
