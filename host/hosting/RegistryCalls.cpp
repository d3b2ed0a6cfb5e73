#include "RegistryCalls.h"

#include "Executable.h"
#include "Invoker.h"
#include "InvokerResponse.h"
#include "ObserverProxies.h"
#include "RegistryPipeline.h"

namespace svcreg {

namespace {

// The executable the invoker calls for one call: the pipeline, with the call beside each change.
class CalledRegistry final : public Executable, public ServiceRegistryIfc {
public:
    CalledRegistry(RegistryPipeline& pipeline, ObserverProxies& observers,
                   Mutex& subscriptionsInOrder, IncomingCall& call)
        : pipeline(pipeline),
          observers(observers),
          subscriptionsInOrder(subscriptionsInOrder),
          call(call) {}

    void init(Context&) override {}
    void shutdown() override {}

    bool registerSvcInterface(const std::string& ifc, const std::string& channelName) override {
        return pipeline.registerSvcInterface(&call, ifc, channelName);
    }
    bool deregisterSvcInterfaces(const std::string& ifc, const std::string& channelName) override {
        return pipeline.deregisterSvcInterfaces(&call, ifc, channelName);
    }
    bool registerProxyInfo(const std::string& lib, const std::string& creatorFn,
                           const std::string& ifc, const std::string& protocol) override {
        return pipeline.registerProxyInfo(&call, lib, creatorFn, ifc, protocol);
    }
    bool registerInvokerInfo(const std::string& lib, const std::string& creatorFn,
                             const std::string& ifc, const std::string& protocol) override {
        return pipeline.registerInvokerInfo(&call, lib, creatorFn, ifc, protocol);
    }
    std::vector<std::string> findSvcsForIfc(const std::string& ifc) override {
        return pipeline.findSvcsForIfc(ifc);
    }
    bool findSvcInterface(const std::string& ifc, std::string& channelName) override {
        return pipeline.findSvcInterface(ifc, channelName);
    }
    bool findInvoker(const std::string& ifc, const std::string& protocol, std::string& lib,
                     std::string& creatorFn) override {
        return pipeline.findInvoker(ifc, protocol, lib, creatorFn);
    }
    bool findProxy(const std::string& ifc, std::string& lib, std::string& creatorFn) override {
        return pipeline.findProxy(ifc, lib, creatorFn);
    }
    std::vector<SvcDetails> getSvcDetailsList() override {
        if (!pipeline.mayList(call, "getSvcDetailsList")) return {};
        return pipeline.getSvcDetailsList();
    }
    // The invoker asks for the observer proxy of the call's callback channel before it calls
    // these: what is refused must not keep it, nor its watch of that channel. One at a time:
    // the registry's unsubscription answers the same whether it found a place or not, so that an
    // unsubscription between a subscription and its count would take the count of a place it
    // never removed, and the proxy would be freed with that place still in the registry.
    bool subscribeStartupEvents(ServiceRegistryObserverIfc* observer) override {
        MutexLock inOrder(subscriptionsInOrder);
        const std::string& channel = call.callbackChannel();
        bool subscribed = false;
        if (observers.hasRoom(channel, observer)) {
            subscribed = pipeline.subscribeStartupEvents(&call, observer, [&] {
                const Outcome watched = observers.watchSubscriber(channel, observer);
                if (!watched) {
                    refuse(RegistryChange::subscription(channel, kObserverSubscription),
                           watched.reason());
                }
                return static_cast<bool>(watched);
            });
        } else {
            refuse(RegistryChange::subscription(channel, kObserverSubscription),
                   ObserverProxies::noRoomRefusal(channel));
        }
        if (subscribed) {
            observers.subscribed(channel, observer);
        } else {
            observers.handBack(channel, observer);
        }
        return subscribed;
    }
    bool unsubscribeStartupEvents(ServiceRegistryObserverIfc* observer) override {
        MutexLock inOrder(subscriptionsInOrder);
        const bool unsubscribed = pipeline.unsubscribeStartupEvents(&call, observer);
        if (unsubscribed) {
            observers.unsubscribed(call.callbackChannel(), observer);
        } else {
            observers.handBack(call.callbackChannel(), observer);
        }
        return unsubscribed;
    }

private:
    void refuse(const RegistryChange& change, const std::string& refusal) {
        pipeline.logRefusal(change, call.peer(), refusal);
        call.refuse(refusal);
    }

    RegistryPipeline& pipeline;
    ObserverProxies& observers;
    Mutex& subscriptionsInOrder;
    IncomingCall& call;
};

}  // namespace

RegistryCalls::RegistryCalls(Invoker& invoker, RegistryPipeline& pipeline,
                             ObserverProxies& observers)
    : invoker(invoker), pipeline(pipeline), observers(observers) {}

// The invoker answers, and deletes the response, before it returns: the call outlives both.
void RegistryCalls::handleCall(IncomingCall& call, const char* data, int length,
                               std::unique_ptr<InvokerResponse> response) {
    CalledRegistry called(pipeline, observers, subscriptionsInOrder, call);
    invoker.handleMessage(&called, data, length, response.release());
}

}  // namespace svcreg
