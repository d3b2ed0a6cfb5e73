#pragma once

/// \file
/// The registry as seen from another process.

#include <string>
#include <vector>

#include "Proxy.h"
#include "ServiceRegistryExport.h"
#include "ServiceRegistryIfc.h"

class Method;

/// The registry as seen from another process: the registration and subscription operations go
/// out as requests through the bound ProxyRequest and return the reply's "result", false when
/// the proxy is unbound or the reply has none (no answer came). The five lookups are not
/// carried remotely: they log a failure and return an empty outcome. Each call waits for its
/// reply on the calling thread. Destroyed through Proxy or Executable; keeps no state between
/// calls, so several threads may call it where the bound ProxyRequest allows it.
class SERVICE_REGISTRY_API ServiceRegistryProxy : public Proxy, public ServiceRegistryIfc {
public:
    /// @name The names of the requests this proxy sends and the registry's invoker serves
    /// Not to be changed once a proxy is in use.
    ///@{
    static std::string sSubscribeStartupEventsMethodName;    ///< subscribeStartupEvents
    static std::string sUnsubscribeStartupEventsMethodName;  ///< unsubscribeStartupEvents
    static std::string sRegisterSvcInterfaceMethodName;      ///< registerSvcInterface
    static std::string sDeregisterSvcInterfacesMethodName;   ///< deregisterSvcInterfaces
    static std::string sRegisterProxyInfoMethodName;         ///< registerProxyInfo
    static std::string sRegisterInvokerInfoMethodName;       ///< registerInvokerInfo
    ///@}

    /// An unbound proxy: every operation fails until initProxy.
    ServiceRegistryProxy();
    /// Deletes nothing but itself: the request channel is not owned.
    ~ServiceRegistryProxy() override;

    /// Binds the proxy to request (not owned), once, before the first call.
    void initProxy(ProxyRequest& request) override;

    /// Sends the registration; the registry's answer, or false.
    bool registerSvcInterface(const std::string& ifc, const std::string& channelName) override;
    /// Sends the deregistration; the registry's answer, or false.
    bool deregisterSvcInterfaces(const std::string& ifc, const std::string& channelName) override;
    /// Sends the proxy creator; the registry's answer, or false.
    bool registerProxyInfo(const std::string& lib, const std::string& creatorFn,
                           const std::string& ifc, const std::string& protocol) override;
    /// Sends the invoker creator; the registry's answer, or false.
    bool registerInvokerInfo(const std::string& lib, const std::string& creatorFn,
                             const std::string& ifc, const std::string& protocol) override;
    /// Not carried remotely: logs a failure and returns an empty list.
    std::vector<std::string> findSvcsForIfc(const std::string& ifc) override;
    /// Not carried remotely: logs a failure and returns false, channelName untouched.
    bool findSvcInterface(const std::string& ifc, std::string& channelName) override;
    /// Not carried remotely: logs a failure and returns false.
    bool findInvoker(const std::string& ifc, const std::string& protocol, std::string& lib,
                     std::string& creatorFn) override;
    /// Not carried remotely: logs a failure and returns false.
    bool findProxy(const std::string& ifc, std::string& lib, std::string& creatorFn) override;
    /// Not carried remotely: logs a failure and returns an empty list.
    std::vector<SvcDetails> getSvcDetailsList() override;
    /// Subscribes observer with the registry. The observer must also be an Executable: the
    /// registry reaches it through the channel on which that executable receives calls. False,
    /// with a failure logged, when it is not one; else the registry's answer, or false.
    bool subscribeStartupEvents(ServiceRegistryObserverIfc* observer) override;
    /// Ends observer's subscription, found as for subscribeStartupEvents; the registry's answer,
    /// or false.
    bool unsubscribeStartupEvents(ServiceRegistryObserverIfc* observer) override;

private:
    // Sends request (with the callback channel, when there is one) and returns the reply's
    // bool "result", or false when the reply has none.
    bool boolReturnHelper(Method& request, const std::string& callbackChannel);
    bool subscribeMethodHelper(ServiceRegistryObserverIfc* observer, const std::string& methodName);

    ProxyRequest* proxyRequest;  // not owned; written once by initProxy, before any call
};

/// Makes a new, unbound proxy; the caller owns it.
extern "C" SERVICE_REGISTRY_API Proxy* createServiceRegistryProxy();
