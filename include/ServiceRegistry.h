#pragma once

/// \file
/// The registry itself, and the factory the framework loads it by.

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

/// The device's registry of service interfaces, creator functions and startup-event observers.
///
/// It has no thread of its own: every operation runs on its caller's thread, from several
/// threads at once. Each table and the subscriber list has its own lock, and no operation holds
/// two. Operations fail only as ServiceRegistryIfc says, or throw std::bad_alloc when memory is
/// short.
class SERVICE_REGISTRY_API ServiceRegistry : public Service, public ServiceRegistryIfc {
public:
    /// A creator table, by interface (proxies) or "interface,protocol" (invokers). Ordered
    /// byte-wise by key; equal keys stay in insertion order, so the first entry of a key is its
    /// earliest one still present.
    using CreatorTable = std::multimap<std::string, CreatorFunctionDetails>;
    /// The service interface table, by interface name, ordered as CreatorTable.
    using ServiceTable = std::multimap<std::string, ServiceDetails>;

    /// An empty registry; service ids start at 1.
    ServiceRegistry();
    /// Frees the tables; the observers still subscribed are neither called nor deleted.
    ~ServiceRegistry() override;

    /// Keeps context (not owned); the registry needs nothing else to start.
    void init(Context& context) override;
    /// Does nothing: the tables stay until the registry is destroyed.
    void shutdown() override;
    /// Returns at once: the registry works on its callers' threads.
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
    /// Subscribes observer, then tells it each distinct name registered, on the calling thread.
    /// A null observer is kept but never called.
    ///
    /// The new observer is called with each registered name while svcInterfacesLock is held: it
    /// must not call back into the service interface table from that call.
    ///
    /// An observer that throws, here or when told of a registration, throws out of the operation
    /// that called it, with every lock of the registry given back. What was done stands: the
    /// subscription, or the registration with its id; the names and the subscribers after the
    /// throwing call are not told of it.
    bool subscribeStartupEvents(ServiceRegistryObserverIfc* observer) override;
    bool unsubscribeStartupEvents(ServiceRegistryObserverIfc* observer) override;

    /// Calls read with the service interface table, on the calling thread, while
    /// svcInterfacesLock is held: for a host that keeps what it knows of each entry beside the
    /// table, or writes the table out in its own order, without a copy of it. Changes nothing and
    /// logs nothing; read gets the table as const and must neither call back into the registry nor
    /// keep a reference into the table once it returns. An exception read throws leaves the call,
    /// with the lock given back.
    ///
    /// A host that loads this library at run time has not its type information at hand when
    /// it is linked, so this is built without the undefined-behaviour sanitizer's check of the
    /// object's type, which would read it.
    template <typename Read>
    __attribute__((no_sanitize("vptr"))) void readSvcInterfaces(Read&& read) {
        CriticalSection hold(svcInterfacesLock);
        read(static_cast<const ServiceTable&>(svcInterfaces));
    }

    /// Tells every subscriber that ifc was registered, on the calling thread; called with no lock
    /// held. A null subscriber is skipped and logged.
    void notifyNewInterfaceRegistered(const std::string& ifc);

    /// Serves one text request of the registry's channel ("command:arg,arg,...", see
    /// RegistryText), taken from message alone; the first three arguments are not read. Replies,
    /// where a command has one, go out through channel before this returns, on the calling
    /// thread. Requests that match no command, and a null message, are dropped.
    void handleMsg(const char* data, int length, std::string sourceChannel,
                   CommsChannelIfc& channel, CommsChannelDataContainerMessage* message) override;

    /// RegistryText::kRegister: registerSvcInterface(ifc, channelName); no reply.
    bool handleRegistrationMessage(std::string& ifc, std::string& channelName);
    /// RegistryText::kDeregister: deregisterSvcInterfaces(ifc, channelName); no reply.
    bool handleDeregistrationMessage(std::string& ifc, std::string& channelName);
    /// RegistryText::kFind: replies to replyChannel with kFound and the channel, or kNotFound
    /// and ifc, under requestId. Nothing is sent without a reply channel.
    void handleFindMessage(std::string& ifc, std::string& replyChannel, long requestId,
                           CommsChannelIfc& channel);
    /// RegistryText::kFindServiceId: replies to sourceChannel, in remoteContext, with
    /// kFoundServiceId and the service id of ifc's earliest entry, or kServiceIdNotFound and ifc.
    /// Nothing is sent when ifc or sourceChannel is empty.
    void handleFindServiceIdMessage(std::string& ifc, std::string& sourceChannel,
                                    std::string& remoteContext, long requestId,
                                    CommsChannelIfc& channel);
    /// RegistryText::kGetList: sends replyChannel kList and the channels offering ifc, as bare
    /// bytes. Nothing is sent without a reply channel.
    void handleGetListMessage(std::string& ifc, std::string& replyChannel,
                              CommsChannelIfc& channel);
    /// RegistryText::kGetDetailsList: replies to sourceChannel, in remoteContext, with
    /// kDetailsList and the whole table, uncut. Nothing is sent without a source channel.
    void handleGetServiceDetsListMessage(std::string& sourceChannel, std::string& remoteContext,
                                         long requestId, CommsChannelIfc& channel);
    /// RegistryText::kRegisterInvoker: registerInvokerInfo; no reply.
    bool handleRegisterInvokerMessage(std::string& lib, std::string& creatorFn, std::string& ifc,
                                      std::string& protocol);
    /// RegistryText::kFindInvoker: replies to sourceChannel with kFoundInvoker and
    /// "library,creator", or kNotFound and ifc.
    void handleFindInvokerMessage(std::string& ifc, std::string& protocol,
                                  std::string& sourceChannel, long requestId,
                                  CommsChannelIfc& channel);
    /// RegistryText::kRegisterProxy: registerProxyInfo; no reply.
    bool handleRegisterProxyMessage(std::string& lib, std::string& creatorFn, std::string& ifc,
                                    std::string& protocol);
    /// RegistryText::kFindProxy: replies to sourceChannel with kFoundProxy and
    /// "library,creator", or kNotFound and ifc.
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

/// Makes a new, independent registry; the caller owns it and deletes it through Executable.
/// Throws std::bad_alloc when memory is short.
extern "C" SERVICE_REGISTRY_API Service* createServiceRegistry();
