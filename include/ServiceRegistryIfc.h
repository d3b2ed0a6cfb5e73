#pragma once

#include <string>
#include <vector>

#include "ServiceRegistryExport.h"
#include "SvcDetails.h"

class ServiceRegistryObserverIfc;

// The registry's operations, as served locally, over its channel and remotely. Results are true
// for success or found; lookups that find nothing leave their outputs alone, except
// findSvcInterface, which empties channelName. Never deleted through this interface, so it has no
// virtual destructor.
class SERVICE_REGISTRY_API ServiceRegistryIfc {
public:
    // ifc is a list of names separated by single spaces; all of them share one new service id.
    virtual bool registerSvcInterface(const std::string& ifc, const std::string& channelName) = 0;
    // ifc as for registerSvcInterface; removes every entry of each name at that channel.
    virtual bool deregisterSvcInterfaces(const std::string& ifc,
                                         const std::string& channelName) = 0;
    virtual bool registerProxyInfo(const std::string& lib, const std::string& creatorFn,
                                   const std::string& ifc, const std::string& protocol) = 0;
    virtual bool registerInvokerInfo(const std::string& lib, const std::string& creatorFn,
                                     const std::string& ifc, const std::string& protocol) = 0;
    // Every channel offering ifc, in registration order.
    virtual std::vector<std::string> findSvcsForIfc(const std::string& ifc) = 0;
    // The channel of the earliest registration of ifc still present.
    virtual bool findSvcInterface(const std::string& ifc, std::string& channelName) = 0;
    virtual bool findInvoker(const std::string& ifc, const std::string& protocol, std::string& lib,
                             std::string& creatorFn) = 0;
    virtual bool findProxy(const std::string& ifc, std::string& lib, std::string& creatorFn) = 0;
    // The whole service interface table, by name and then registration order.
    virtual std::vector<SvcDetails> getSvcDetailsList() = 0;
    // The observer is told every name already registered, then every new one. Not owned.
    virtual bool subscribeStartupEvents(ServiceRegistryObserverIfc* observer) = 0;
    virtual bool unsubscribeStartupEvents(ServiceRegistryObserverIfc* observer) = 0;

protected:
    ~ServiceRegistryIfc() = default;
};
