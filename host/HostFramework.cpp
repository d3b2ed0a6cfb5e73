#include "HostFramework.h"

#include "CommsChannelDataContainerMessage.h"
#include "HostLog.h"
#include "Invoker.h"
#include "Method.h"
#include "PooledStream.h"
#include "Proxy.h"
#include "Service.h"
#include "ServiceRegistryIfc.h"
#include "ServiceRegistryObserverIfc.h"
#include "SocketCommsChannel.h"
#include "SocketInvokerResponse.h"

HostFramework::HostFramework(const HostOptions& options)
    : requestTimeout(options.requestTimeout),
      transport(RuntimeDirectory(options.runtimeDirectory), *this, options.workerThreads) {}

HostFramework::~HostFramework() {
    stop();
}

bool HostFramework::bindChannel(const std::string& channel, Service* service, std::string& error,
                                UniqueFd given) {
    if (!transport.runtimeDirectory().prepare(error)) return false;
    if (!transport.listen(channel, error, std::move(given))) {
        error = "cannot serve channel '" + channel + "': " + error;
        return false;
    }
    std::lock_guard<std::mutex> lock(mutex);
    Endpoint& endpoint = endpoints[channel];
    endpoint.service = service;
    endpoint.replies = std::make_unique<SocketCommsChannel>(transport, channel);
    return true;
}

void HostFramework::bindInvoker(const std::string& channel, const std::string& interfaceName,
                                Invoker& invoker, Executable& executable) {
    std::lock_guard<std::mutex> lock(mutex);
    endpoints[channel].invokers[interfaceName] = InvokerBinding{&invoker, &executable};
}

void HostFramework::addProxyCreator(const std::string& interfaceName, Proxy* (*create)()) {
    std::lock_guard<std::mutex> lock(mutex);
    proxyCreators[interfaceName] = create;
}

void HostFramework::setSubscriptionRegistry(ServiceRegistryIfc* registry) {
    subscriptionRegistry = registry;
}

void HostFramework::start() {
    transport.start();
}

void HostFramework::stop() {
    transport.stop();
}

std::unique_ptr<SocketProxyRequest> HostFramework::makeProxyRequest(
    const std::string& channel, const std::string& interfaceName) {
    return std::make_unique<SocketProxyRequest>(*this, channel, interfaceName);
}

SocketCommsChannel* HostFramework::commsChannel(const std::string& boundChannel) {
    std::lock_guard<std::mutex> lock(mutex);
    auto found = endpoints.find(boundChannel);
    return found != endpoints.end() ? found->second.replies.get() : nullptr;
}

bool HostFramework::encode(Method& method, Frame& frame) {
    PooledStream encoded;
    adapter.encode(method, encoded.get());
    frame.data = encoded.get().str();
    frame.protocol = BinaryProtocolAdapter::kProtocolName;
    return frame.data.size() <= kMaxFrameBodySize;
}

SocketProxyRequest::Outcome HostFramework::call(Frame& frame, Method& request, Method& reply) {
    using Outcome = SocketProxyRequest::Outcome;
    if (Transport::onTransportThread()) {
        HOST_FAILURE("'%s' called from a handler: refused, as its reply could never be read",
                     request.getName().c_str());
        return Outcome::Refused;
    }
    if (!encode(request, frame)) return Outcome::Refused;
    frame.requestId = nextRequestId++;
    pending.expect(frame.requestId);
    std::shared_ptr<Connection> via;
    const SendResult sent = transport.send(frame, &via);
    if (sent != SendResult::Queued) {
        pending.cancel(frame.requestId);
        return sent == SendResult::Refused ? Outcome::Refused : Outcome::Unreachable;
    }
    pending.attach(frame.requestId, *via);
    std::string answer;
    if (pending.await(frame.requestId, requestTimeout, answer) !=
        PendingReplies::Outcome::Answered) {
        return Outcome::NoAnswer;
    }
    // An empty answer means the invoker had none to give: the reply stays empty.
    PooledStream received(answer.data(), answer.size());
    if (!answer.empty() && !adapter.decode(received.get(), reply)) {
        HOST_FAILURE("Undecodable answer to '%s' from channel '%s'", request.getName().c_str(),
                     frame.destination.c_str());
    }
    return Outcome::Answered;
}

SendResult HostFramework::sendOneWay(Frame& frame, Method& request) {
    if (!encode(request, frame)) return SendResult::Refused;
    return transport.send(frame);
}

void HostFramework::peerGone(const std::string& channel) {
    // Called from inside registry operations, possibly under a registry lock: the registry is
    // called back later, from a transport thread.
    transport.post([this, channel] {
        if (retireProxiesOf(channel)) {
            HOST_FAILURE("Subscriber channel '%s' is gone: unsubscribed its observer",
                         channel.c_str());
        }
    });
}

// A peer that closes a connection may only have hung up; it is gone when its channel no
// longer takes connections.
void HostFramework::retireIfGone(const std::string& channel) {
    UniqueFd probe;
    if (connectTo(transport.runtimeDirectory().socketPath(channel), probe) == ConnectResult::Gone &&
        retireProxiesOf(channel)) {
        HOST_TRACE(3, "Subscriber channel '%s' has closed: its observer proxy is freed",
                   channel.c_str());
    }
}

bool HostFramework::retireProxiesOf(const std::string& channel) {
    auto retired = std::make_shared<RetiredProxies>();
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (auto entry = proxies.begin(); entry != proxies.end();) {
            if (entry->first.second == channel) {
                retired->push_back(std::move(entry->second));
                entry = proxies.erase(entry);
            } else {
                ++entry;
            }
        }
    }
    if (retired->empty()) return false;

    // getProxy no longer gives these out, but a call under way may have got one just before
    // and subscribe it after this first round; the second round, once every such call has
    // ended, removes that subscription, and the proxies are freed once the notifications that
    // may have picked them up before it have ended too.
    unsubscribe(*retired);
    quiescence.defer([this, retired] {
        unsubscribe(*retired);
        quiescence.defer([retired] {});
    });
    return true;
}

bool HostFramework::hasProxiesFor(const std::string& channel) {
    std::lock_guard<std::mutex> lock(mutex);
    for (const auto& entry : proxies) {
        if (entry.first.second == channel) return true;
    }
    return false;
}

void HostFramework::unsubscribe(const RetiredProxies& retired) {
    if (subscriptionRegistry == nullptr) return;
    for (const BoundProxy& bound : retired) {
        auto* observer = dynamic_cast<ServiceRegistryObserverIfc*>(bound.proxy.get());
        if (observer == nullptr) continue;
        for (unsigned i = 0; i < bound.handOuts; ++i) {
            subscriptionRegistry->unsubscribeStartupEvents(observer);
        }
    }
}

std::string HostFramework::getCallbackChannel(Executable* executable) {
    std::lock_guard<std::mutex> lock(mutex);
    for (const auto& [channel, endpoint] : endpoints) {
        for (const auto& entry : endpoint.invokers) {
            if (entry.second.executable == executable) return channel;
        }
    }
    return std::string();
}

Proxy* HostFramework::getProxy(const std::string& interfaceName, const std::string& remoteContext) {
    if (!transport.runtimeDirectory().isValidChannel(remoteContext)) return nullptr;
    std::lock_guard<std::mutex> lock(mutex);
    auto creator = proxyCreators.find(interfaceName);
    if (creator == proxyCreators.end()) return nullptr;
    BoundProxy& bound = proxies[{interfaceName, remoteContext}];
    if (bound.proxy == nullptr) {
        bound.request = std::make_unique<SocketProxyRequest>(*this, remoteContext, interfaceName);
        bound.proxy.reset(creator->second());
        bound.proxy->initProxy(*bound.request);
    }
    ++bound.handOuts;
    return bound.proxy.get();
}

ProtocolAdapter* HostFramework::getProtocolAdapter(const std::string& protocol) {
    return protocol == BinaryProtocolAdapter::kProtocolName ? &adapter : nullptr;
}

void HostFramework::handleFrame(const std::shared_ptr<Connection>& from, Frame& frame) {
    Endpoint* endpoint = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex);
        auto found = endpoints.find(frame.destination);
        // Endpoints are bound before start and never removed, so the pointer stays valid.
        if (found != endpoints.end()) endpoint = &found->second;
    }
    const QuiescenceTracker::Ticket ticket = quiescence.enter();
    if (frame.kind != Frame::Kind::Message) {
        deliverCall(from, endpoint, frame);
    } else if (endpoint != nullptr) {
        deliverMessage(*endpoint, frame);
    } else {
        HOST_TRACE(3, "Message for channel '%s', which is not served here, dropped",
                   frame.destination.c_str());
    }
    quiescence.leave(ticket);
}

void HostFramework::deliverMessage(Endpoint& endpoint, Frame& frame) {
    if (endpoint.service == nullptr) return;
    CommsChannelDataContainerMessage message;
    message.setChannel(frame.destination);
    message.setSourceChannel(frame.source);
    message.setRemoteContext(frame.remoteContext);
    message.setProtocol(frame.protocol);
    message.setInterface(frame.interface);
    message.setRequestId(static_cast<long>(frame.requestId));
    message.setData(frame.data.data(), static_cast<int>(frame.data.size()));
    endpoint.service->handleMsg(frame.data.data(), static_cast<int>(frame.data.size()),
                                frame.source, *endpoint.replies, &message);
}

// endpoint is null when the destination is not served here.
void HostFramework::deliverCall(const std::shared_ptr<Connection>& from, Endpoint* endpoint,
                                Frame& frame) {
    auto* response =
        new SocketInvokerResponse(transport, from, frame.requestId, frame.protocol,
                                  frame.remoteContext, frame.kind == Frame::Kind::Call);
    if (!frame.remoteContext.empty()) from->noteCallbackChannel(frame.remoteContext);
    const InvokerBinding* binding = nullptr;
    if (endpoint != nullptr) {
        auto found = endpoint->invokers.find(frame.interface);
        if (found != endpoint->invokers.end()) binding = &found->second;
    }
    if (binding == nullptr) {
        HOST_FAILURE("Call of interface '%s' on channel '%s', which has no invoker for it here",
                     frame.interface.c_str(), frame.destination.c_str());
        delete response;  // answers the caller with nothing
        return;
    }
    binding->invoker->handleMessage(binding->executable, frame.data.data(),
                                    static_cast<int>(frame.data.size()), response);
}

void HostFramework::handleReply(const Connection& from, Frame& frame) {
    pending.fulfil(frame.requestId, from, std::move(frame.data));
}

void HostFramework::connectionClosed(const Connection& connection) {
    pending.connectionLost(connection);
    std::vector<std::string> peers = connection.callbackChannels();
    if (!connection.peerChannel().empty()) peers.push_back(connection.peerChannel());
    for (const std::string& channel : peers) {
        if (hasProxiesFor(channel)) transport.post([this, channel] { retireIfGone(channel); });
    }
}
