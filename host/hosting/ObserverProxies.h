#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "Mutex.h"
#include "ServiceRegistry/HostFramework.h"
#include "ServiceRegistry/SocketProxyRequest.h"

class Proxy;
class ServiceRegistryIfc;
class ServiceRegistryObserverIfc;

namespace svcreg {

// The observer proxies the registry is handed when a remote observer subscribes: one per
// subscriber channel, made by the registry library's creator. The framework watches each
// subscriber's end from its first subscription on; once it is gone, its proxies are
// unsubscribed from the registry and, once no notification can still be on its way to them,
// freed. A channel whose end cannot be watched (nobody serves it) gets no subscription.
class ObserverProxies final : public ProxyProvider {
public:
    // interfaceName is the observer interface the creator's proxies implement.
    ObserverProxies(HostFramework& framework, std::string interfaceName, Proxy* (*create)());
    ~ObserverProxies();
    ObserverProxies(const ObserverProxies&) = delete;
    ObserverProxies& operator=(const ObserverProxies&) = delete;

    // The registry dead subscribers are unsubscribed from; set before the framework starts.
    void setRegistry(ServiceRegistryIfc* subscriptions) { registry = subscriptions; }
    // Told of each subscriber channel retired; set before the framework starts.
    void setRetiredListener(std::function<void(const std::string& channel)> listener) {
        retiredListener = std::move(listener);
    }

    Proxy* proxyFor(const std::string& interfaceName, const std::string& remoteContext) override;
    // A call handed observer, the proxy of channel, that subscribed nothing with it (refused, or
    // an unsubscription refused) gives it back: once every hand-out is given back, nothing holds
    // it, and it goes with its watch of the channel at once, rather than when the channel's
    // process ends; unless it ever subscribed, as a notification may still be on its way to it
    // (see unsubscribed). A proxy already retired (its process ended meanwhile) is left to its
    // retirement, and the proxy of a process serving channel since is not touched.
    void handBack(const std::string& channel, const ServiceRegistryObserverIfc* observer);
    // Watches the end of the process serving channel, for observer, its proxy, unless watched
    // already; fails, saying why, when it cannot be (nobody serves channel). Called by a
    // subscription the registry is about to make, so that a call refused costs no look for who
    // serves a channel.
    Outcome watchSubscriber(const std::string& channel, const ServiceRegistryObserverIfc* observer);
    // Whether a call handed observer, the proxy of channel, may subscribe it once more. Each
    // subscription is a place the registry tells of every registration, and a subscriber's end
    // undoes each one: a channel holds kMostSubscriptions at most. Callers check, subscribe and
    // count (subscribed) one at a time.
    bool hasRoom(const std::string& channel, const ServiceRegistryObserverIfc* observer);
    // The call handed observer subscribed it: its hand-out is the subscription's now.
    void subscribed(const std::string& channel, const ServiceRegistryObserverIfc* observer);
    // The call handed observer unsubscribed it: its hand-out comes back, and so does the
    // subscription's it ended, if it held one. A proxy that ever subscribed stays until the
    // channel's process ends, as a notification may still be on its way to it; one that never
    // did goes as it would when handed back.
    void unsubscribed(const std::string& channel, const ServiceRegistryObserverIfc* observer);
    static std::string noRoomRefusal(const std::string& channel);

    static constexpr unsigned kMostSubscriptions = 16;

private:
    struct BoundProxy {
        std::unique_ptr<SocketProxyRequest> request;
        std::unique_ptr<Proxy> proxy;
        unsigned handOuts = 0;        // to calls under way, and to each subscription it holds
        unsigned subscriptions = 0;   // places it holds in the registry's list of observers
        bool everSubscribed = false;  // so freed only once its channel's process has ended
        PeerWatchId watch = 0;        // from its first subscription on
    };
    using Retired = std::vector<BoundProxy>;

    // The subscriber at channel is gone.
    void peerGone(const std::string& channel);
    std::shared_ptr<Retired> takeProxiesOf(const std::string& channel);
    void unsubscribe(const Retired& retired);
    // The proxy of channel, when it is observer; else null.
    BoundProxy* boundAs(const std::string& channel, const ServiceRegistryObserverIfc* observer)
        TS_REQUIRES(mutex);

    HostFramework& framework;
    const std::string interfaceName;
    Proxy* (*const create)();
    ServiceRegistryIfc* registry = nullptr;
    std::function<void(const std::string& channel)> retiredListener;

    Mutex mutex;  // guards bound; never held while the registry is called
    std::map<std::string, BoundProxy> bound TS_GUARDED_BY(mutex);  // by subscriber channel
};

}  // namespace svcreg
