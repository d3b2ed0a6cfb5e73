#include "ObserverProxies.h"

#include "HostLog.h"
#include "Proxy.h"
#include "ServiceRegistryIfc.h"
#include "ServiceRegistryObserverIfc.h"

namespace svcreg {

ObserverProxies::ObserverProxies(HostFramework& framework, std::string interfaceName,
                                 Proxy* (*create)())
    : framework(framework), interfaceName(std::move(interfaceName)), create(create) {}

ObserverProxies::~ObserverProxies() {
    MutexLock hold(mutex);
    for (const auto& entry : bound) {
        if (entry.second.watch != 0) framework.unwatchPeer(entry.second.watch);
    }
}

// The subscriber is watched only once its call may subscribe (see watchSubscriber): finding
// who serves a channel may take long, and every call that names one gets a proxy.
Proxy* ObserverProxies::proxyFor(const std::string& requested, const std::string& remoteContext) {
    if (requested != interfaceName) return nullptr;
    MutexLock hold(mutex);
    BoundProxy& entry = bound[remoteContext];
    if (entry.proxy == nullptr) {
        entry.request = framework.makeProxyRequest(remoteContext, interfaceName);
        entry.proxy.reset(create());
        entry.proxy->initProxy(*entry.request);
    }
    ++entry.handOuts;
    return entry.proxy.get();
}

void ObserverProxies::handBack(const std::string& channel,
                               const ServiceRegistryObserverIfc* observer) {
    BoundProxy unused;
    {
        MutexLock hold(mutex);
        BoundProxy* entry = boundAs(channel, observer);
        if (entry == nullptr || entry->handOuts == 0 || --entry->handOuts != 0 ||
            entry->everSubscribed) {
            return;
        }
        unused = std::move(*entry);
        bound.erase(channel);
    }
    if (unused.watch != 0) framework.unwatchPeer(unused.watch);
}

// The watch begins before the subscription is made: a subscriber that ends in between is told
// to peerGone, which waits for this lock and then finds the proxy to retire.
Outcome ObserverProxies::watchSubscriber(const std::string& channel,
                                         const ServiceRegistryObserverIfc* observer) {
    MutexLock hold(mutex);
    // A proxy retired meanwhile was watched: its retirement undoes what the call makes.
    BoundProxy* entry = boundAs(channel, observer);
    if (entry == nullptr || entry->watch != 0) return Outcome();
    const Result<PeerWatch> watching =
        framework.watchPeer(channel, [this, channel] { peerGone(channel); });
    if (!watching) {
        return Outcome(
            Status::Refused,
            "channel '" + channel + "' cannot be watched for its end: " + watching.reason());
    }
    entry->watch = watching->id;
    return Outcome();
}

bool ObserverProxies::hasRoom(const std::string& channel,
                              const ServiceRegistryObserverIfc* observer) {
    MutexLock hold(mutex);
    // A proxy retired meanwhile counts this call among its hand-outs: its retirement undoes
    // what the call makes. Other calls under way take no room: they may be another user's,
    // refused once the daemon finds the channel is not theirs.
    const BoundProxy* entry = boundAs(channel, observer);
    return entry == nullptr || entry->subscriptions < kMostSubscriptions;
}

void ObserverProxies::subscribed(const std::string& channel,
                                 const ServiceRegistryObserverIfc* observer) {
    MutexLock hold(mutex);
    BoundProxy* entry = boundAs(channel, observer);
    if (entry == nullptr) return;
    ++entry->subscriptions;
    entry->everSubscribed = true;
}

void ObserverProxies::unsubscribed(const std::string& channel,
                                   const ServiceRegistryObserverIfc* observer) {
    {
        MutexLock hold(mutex);
        // The registry removes the first place of the observer, if it holds one.
        BoundProxy* entry = boundAs(channel, observer);
        if (entry != nullptr && entry->subscriptions != 0) {
            --entry->subscriptions;
            --entry->handOuts;
        }
    }
    // A proxy that never subscribed is unwatched, and nothing retires it: it goes now.
    handBack(channel, observer);
}

std::string ObserverProxies::noRoomRefusal(const std::string& channel) {
    return "channel '" + channel + "' holds " + std::to_string(kMostSubscriptions) +
           " subscriptions, the most one channel may: each is told of every registration";
}

ObserverProxies::BoundProxy* ObserverProxies::boundAs(const std::string& channel,
                                                      const ServiceRegistryObserverIfc* observer) {
    auto found = bound.find(channel);
    if (found == bound.end() ||
        dynamic_cast<ServiceRegistryObserverIfc*>(found->second.proxy.get()) != observer) {
        return nullptr;
    }
    return &found->second;
}

void ObserverProxies::peerGone(const std::string& channel) {
    const std::shared_ptr<Retired> retired = takeProxiesOf(channel);
    if (retired->empty()) return;
    HOST_TRACE(3, "Subscriber at channel '%s' has ended: its observer proxy is freed",
               channel.c_str());
    // proxyFor no longer gives these out, but a call under way may have got one just before
    // and subscribe it after this first round; the second round, once every such call has
    // ended, removes that subscription, and the proxies are freed once the notifications that
    // may have picked them up before it have ended too.
    unsubscribe(*retired);
    framework.afterFramesInFlight([this, retired, channel] {
        unsubscribe(*retired);
        // Its subscription, counted once made, is given back once no call that may make it is
        // under way.
        if (retiredListener) retiredListener(channel);
        framework.afterFramesInFlight([retired] {});
    });
}

std::shared_ptr<ObserverProxies::Retired> ObserverProxies::takeProxiesOf(
    const std::string& channel) {
    auto retired = std::make_shared<Retired>();
    MutexLock hold(mutex);
    auto found = bound.find(channel);
    if (found != bound.end()) {
        retired->push_back(std::move(found->second));
        bound.erase(found);
    }
    return retired;
}

void ObserverProxies::unsubscribe(const Retired& retired) {
    if (registry == nullptr) return;
    for (const BoundProxy& entry : retired) {
        auto* observer = dynamic_cast<ServiceRegistryObserverIfc*>(entry.proxy.get());
        if (observer == nullptr) continue;
        for (unsigned i = 0; i < entry.handOuts; ++i) registry->unsubscribeStartupEvents(observer);
    }
}

}  // namespace svcreg
