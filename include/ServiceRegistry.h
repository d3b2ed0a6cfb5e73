#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "CreatorFunctionDetails.h"
#include "Semaphore.h"
#include "Service.h"
#include "ServiceDetails.h"
#include "ServiceRegistryExport.h"
#include "ServiceRegistryIfc.h"
#include "ServiceRegistryObserverIfc.h"

// The device's directory of service interfaces, creator functions and startup-event observers.
// It has no thread of its own: every operation runs on its caller's thread, from several threads
// at once. Each table and the subscriber list has its own lock, and no operation holds two.
class SERVICE_REGISTRY_API ServiceRegistry : public Service, public ServiceRegistryIfc {
public:
    // Ordered byte-wise by key; equal keys stay in insertion order, so the first entry of a key
    // is its earliest one still present.
    using CreatorTable = std::multimap<std::string, CreatorFunctionDetails>;
    using ServiceTable = std::multimap<std::string, ServiceDetails>;

    ServiceRegistry();
    // Frees the tables; the observers still subscribed are neither called nor deleted.
    ~ServiceRegistry() override;

    void init(Context& context) override;
    void shutdown() override;
    void run() override;

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
    // The new observer is called with each registered name while svcInterfacesLock is held: it
    // must not call back into the service interface table from that call.
    //
    // An observer that throws, here or when told of a registration, throws out of the operation
    // that called it, with every lock of the registry given back. What was done stands: the
    // subscription, or the registration with its id; the names and the subscribers after the
    // throwing call are not told of it.
    bool subscribeStartupEvents(ServiceRegistryObserverIfc* observer) override;
    bool unsubscribeStartupEvents(ServiceRegistryObserverIfc* observer) override;

    // Tells every subscriber that ifc was registered; called with no lock held.
    void notifyNewInterfaceRegistered(const std::string& ifc);

    // Serves one text request of the registry's channel ("command:arg,arg,..."), taken from
    // message alone; the first three arguments are not read. Replies, where a command has one,
    // go out through channel before this returns. Requests that match no command are dropped.
    void handleMsg(const char* data, int length, std::string sourceChannel,
                   CommsChannelIfc& channel, CommsChannelDataContainerMessage* message) override;

    // One handler per command word, called by handleMsg with the fields of the request.
    bool handleRegistrationMessage(std::string& ifc, std::string& channelName);
    bool handleDeregistrationMessage(std::string& ifc, std::string& channelName);
    void handleFindMessage(std::string& ifc, std::string& replyChannel, long requestId,
                           CommsChannelIfc& channel);
    void handleFindServiceIdMessage(std::string& ifc, std::string& sourceChannel,
                                    std::string& remoteContext, long requestId,
                                    CommsChannelIfc& channel);
    void handleGetListMessage(std::string& ifc, std::string& replyChannel,
                              CommsChannelIfc& channel);
    void handleGetServiceDetsListMessage(std::string& sourceChannel, std::string& remoteContext,
                                         long requestId, CommsChannelIfc& channel);
    bool handleRegisterInvokerMessage(std::string& lib, std::string& creatorFn, std::string& ifc,
                                      std::string& protocol);
    void handleFindInvokerMessage(std::string& ifc, std::string& protocol,
                                  std::string& sourceChannel, long requestId,
                                  CommsChannelIfc& channel);
    bool handleRegisterProxyMessage(std::string& lib, std::string& creatorFn, std::string& ifc,
                                    std::string& protocol);
    void handleFindProxyMessage(std::string& ifc, std::string& sourceChannel, long requestId,
                                CommsChannelIfc& channel);

private:
    // Member order is the order of construction; the destructor frees them in reverse.
    CreatorTable invokerCreators TS_GUARDED_BY(invokerCreatorsLock);  // interface "," protocol
    CreatorTable proxyCreators TS_GUARDED_BY(proxyCreatorsLock);      // key: interface
    ServiceTable svcInterfaces TS_GUARDED_BY(svcInterfacesLock);      // key: interface
    Context* context;                                                 // not owned
    // The id the next successful registration gives.
    int32_t nextSvcId TS_GUARDED_BY(svcInterfacesLock);
    Semaphore svcInterfacesLock;    // guards svcInterfaces and nextSvcId
    Semaphore invokerCreatorsLock;  // guards invokerCreators
    Semaphore proxyCreatorsLock;    // guards proxyCreators
    // Guards startupSubscribers; never held while an observer is called.
    Semaphore subscribersLock;
    // Not owned; may hold null.
    std::vector<ServiceRegistryObserverIfc*> startupSubscribers TS_GUARDED_BY(subscribersLock);
};

// Makes a new, independent registry; the caller owns it and deletes it through Executable.
extern "C" SERVICE_REGISTRY_API Service* createServiceRegistry();
