#pragma once

/// \file
/// The registry's operations, the same for the registry itself and for its proxy.

#include <string>
#include <vector>

#include "ServiceRegistryExport.h"
#include "SvcDetails.h"

class ServiceRegistryObserverIfc;

/// The registry's operations, as served locally, over its channel and remotely.
///
/// Results are true for success or found; lookups that find nothing leave their outputs alone,
/// except findSvcInterface, which empties channelName. What an implementation lets several
/// threads do at once is told by the implementation (ServiceRegistry, ServiceRegistryProxy).
/// Never deleted through this interface, so it has no virtual destructor.
class SERVICE_REGISTRY_API ServiceRegistryIfc {
public:
    /// Registers the interfaces of ifc at channelName. ifc is a list of names separated by
    /// single spaces; all of them share one new service id. False when ifc or channelName is
    /// empty, or when no service id is left.
    virtual bool registerSvcInterface(const std::string& ifc, const std::string& channelName) = 0;
    /// Removes every entry of each name of ifc (as for registerSvcInterface) at channelName.
    /// Names not registered there are no error.
    virtual bool deregisterSvcInterfaces(const std::string& ifc,
                                         const std::string& channelName) = 0;
    /// Records that creatorFn in library lib makes proxies for ifc; protocol is not kept. The
    /// same library and creator for the same interface is recorded once.
    virtual bool registerProxyInfo(const std::string& lib, const std::string& creatorFn,
                                   const std::string& ifc, const std::string& protocol) = 0;
    /// Records that creatorFn in library lib makes invokers for ifc spoken in protocol. The same
    /// library and creator for the same pair is recorded once.
    virtual bool registerInvokerInfo(const std::string& lib, const std::string& creatorFn,
                                     const std::string& ifc, const std::string& protocol) = 0;
    /// Every channel offering ifc, in registration order; empty when none does.
    virtual std::vector<std::string> findSvcsForIfc(const std::string& ifc) = 0;
    /// Puts in channelName the channel of the earliest registration of ifc still present. False,
    /// with channelName emptied, when ifc is not registered.
    virtual bool findSvcInterface(const std::string& ifc, std::string& channelName) = 0;
    /// Puts in lib and creatorFn the earliest invoker creator recorded for ifc and protocol.
    /// False when there is none.
    virtual bool findInvoker(const std::string& ifc, const std::string& protocol, std::string& lib,
                             std::string& creatorFn) = 0;
    /// Puts in lib and creatorFn the earliest proxy creator recorded for ifc. False when there is
    /// none.
    virtual bool findProxy(const std::string& ifc, std::string& lib, std::string& creatorFn) = 0;
    /// The whole service interface table, by name and then registration order.
    virtual std::vector<SvcDetails> getSvcDetailsList() = 0;
    /// Subscribes observer: it is told every name already registered, then every new one. Not
    /// owned: it must stay alive until unsubscribed.
    virtual bool subscribeStartupEvents(ServiceRegistryObserverIfc* observer) = 0;
    /// Ends a subscription of observer; one not subscribed is no error.
    virtual bool unsubscribeStartupEvents(ServiceRegistryObserverIfc* observer) = 0;

protected:
    /// Not for deleting through this interface.
    ~ServiceRegistryIfc() = default;
};
