#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "BinaryProtocolAdapter.h"
#include "FrameworkContext.h"
#include "HostExport.h"
#include "PendingReplies.h"
#include "ProxyRequest.h"
#include "QuiescenceTracker.h"
#include "RuntimeDirectory.h"
#include "SocketProxyRequest.h"
#include "Transport.h"

class Executable;
class Invoker;
class Method;
class Proxy;
class Service;
class ServiceRegistryIfc;
class SocketCommsChannel;

struct HostOptions {
    std::string runtimeDirectory = RuntimeDirectory::defaultPath();
    unsigned workerThreads = 4;
    std::chrono::milliseconds requestTimeout{5000};
};

// The framework of one process, across processes: binds this process's channels, hands what
// arrives on them to the service and invokers bound there, and carries requests, replies and
// one-way calls to other processes through the transport, encoded by the binary adapter.
//
// Bind everything before start. Objects handed in are not owned and must outlive stop.
class HOST_API HostFramework final : public FrameworkContext,
                                     public CallbackChannelResolver,
                                     private FrameHandler {
public:
    explicit HostFramework(const HostOptions& options);
    ~HostFramework() override;
    HostFramework(const HostFramework&) = delete;
    HostFramework& operator=(const HostFramework&) = delete;

    // Serves channel here; its text messages go to service->handleMsg (dropped when null).
    // Fails when the runtime directory cannot be made or another process serves the channel.
    // given, when valid, is a listening socket made for the channel by a service manager.
    bool bindChannel(const std::string& channel, Service* service, std::string& error,
                     UniqueFd given = UniqueFd());
    // Calls of interfaceName arriving on the bound channel go to invoker, with executable.
    void bindInvoker(const std::string& channel, const std::string& interfaceName, Invoker& invoker,
                     Executable& executable);
    // getProxy makes the proxies of interfaceName with create.
    void addProxyCreator(const std::string& interfaceName, Proxy* (*create)());
    // The registry that observer proxies are unsubscribed from when their peer is gone.
    void setSubscriptionRegistry(ServiceRegistryIfc* registry);

    void start();
    // Returns once no frame is being handled; the sockets of the bound channels are removed.
    void stop();

    std::unique_ptr<SocketProxyRequest> makeProxyRequest(const std::string& channel,
                                                         const std::string& interfaceName);
    // The comms channel that sends from a bound channel; null for others.
    SocketCommsChannel* commsChannel(const std::string& boundChannel);

    // For SocketProxyRequest: sends frame with the encoded request and waits for the answer.
    SocketProxyRequest::Outcome call(Frame& frame, Method& request, Method& reply);
    SendResult sendOneWay(Frame& frame, Method& request);
    // For SocketProxyRequest: nobody serves channel any more. Observer proxies bound to it are
    // unsubscribed and, once no notification can still be on its way to them, freed.
    void peerGone(const std::string& channel);

    // The bound channel where executable receives calls; empty when it receives none.
    std::string getCallbackChannel(Executable* executable) override;
    // One proxy per interface and remote context, bound to a request channel to that context;
    // null for interfaces without a creator and for contexts that are no channel name.
    Proxy* getProxy(const std::string& interfaceName, const std::string& remoteContext) override;
    ProtocolAdapter* getProtocolAdapter(const std::string& protocol) override;

private:
    struct InvokerBinding {
        Invoker* invoker;
        Executable* executable;
    };
    struct Endpoint {
        Service* service = nullptr;
        std::unique_ptr<SocketCommsChannel> replies;
        std::map<std::string, InvokerBinding> invokers;
    };
    struct BoundProxy {
        std::unique_ptr<SocketProxyRequest> request;
        std::unique_ptr<Proxy> proxy;
        unsigned handOuts = 0;  // how often getProxy gave it out: each may have subscribed it
    };
    using ProxyKey = std::pair<std::string, std::string>;  // interface, remote context
    using RetiredProxies = std::vector<BoundProxy>;

    void handleFrame(const std::shared_ptr<Connection>& from, Frame& frame) override;
    void handleReply(const Connection& from, Frame& frame) override;
    void connectionClosed(const Connection& connection) override;
    void deliverMessage(Endpoint& endpoint, Frame& frame);
    void deliverCall(const std::shared_ptr<Connection>& from, Endpoint* endpoint, Frame& frame);
    bool hasProxiesFor(const std::string& channel);
    void retireIfGone(const std::string& channel);
    // Unsubscribes and, in time, frees the observer proxies bound to channel; false when
    // there were none.
    bool retireProxiesOf(const std::string& channel);
    void unsubscribe(const RetiredProxies& retired);
    bool encode(Method& method, Frame& frame);

    const std::chrono::milliseconds requestTimeout;
    BinaryProtocolAdapter adapter;
    PendingReplies pending;
    QuiescenceTracker quiescence;
    std::atomic<std::int64_t> nextRequestId{1};
    ServiceRegistryIfc* subscriptionRegistry = nullptr;  // set before start

    std::mutex mutex;  // guards endpoints, proxyCreators and proxies; never held during a call
    std::map<std::string, Endpoint> endpoints;
    std::map<std::string, Proxy* (*)()> proxyCreators;
    std::map<ProxyKey, BoundProxy> proxies;

    // Last, so that it is destroyed first: no frame arrives once the rest is gone.
    Transport transport;
};
