#include "LoopbackFramework.h"

#include "Invoker.h"
#include "LoopbackInvokerResponse.h"
#include "LoopbackProxyRequest.h"
#include "Method.h"
#include "PooledStream.h"
#include "Proxy.h"
#include "ServiceRegistryObserverProxy.h"

LoopbackFramework::LoopbackFramework() = default;

LoopbackFramework::~LoopbackFramework() = default;

void LoopbackFramework::bind(const std::string& channel, Invoker& invoker, Executable& executable) {
    std::lock_guard<std::mutex> lock(mutex);
    endpoints[channel] = Endpoint{&invoker, &executable};
}

bool LoopbackFramework::findEndpoint(const std::string& channel, Endpoint& endpoint) {
    std::lock_guard<std::mutex> lock(mutex);
    auto found = endpoints.find(channel);
    if (found == endpoints.end()) return false;
    endpoint = found->second;
    return true;
}

bool LoopbackFramework::deliver(const std::string& channel, Method& request,
                                const std::string& remoteContext, Method* reply) {
    Endpoint endpoint;
    if (!findEndpoint(channel, endpoint)) return false;
    PooledStream encoded;
    adapter.encode(request, encoded.get());
    const std::string bytes = encoded.get().str();
    std::string replyBytes;
    endpoint.invoker->handleMessage(
        endpoint.executable, bytes.data(), static_cast<int>(bytes.size()),
        new LoopbackInvokerResponse(BinaryProtocolAdapter::kProtocolName, remoteContext,
                                    reply != nullptr ? &replyBytes : nullptr));
    if (reply == nullptr) return true;
    if (replyBytes.empty()) return false;
    PooledStream received(replyBytes.data(), replyBytes.size());
    return adapter.decode(received.get(), *reply);
}

std::string LoopbackFramework::getCallbackChannel(Executable* executable) {
    std::lock_guard<std::mutex> lock(mutex);
    for (const auto& [channel, endpoint] : endpoints) {
        if (endpoint.executable == executable) return channel;
    }
    return std::string();
}

Proxy* LoopbackFramework::getProxy(const std::string& interfaceName,
                                   const std::string& remoteContext) {
    if (interfaceName != "ServiceRegistryObserverIfc") return nullptr;
    std::lock_guard<std::mutex> lock(mutex);
    if (endpoints.count(remoteContext) == 0) return nullptr;
    BoundProxy& bound = proxies[{interfaceName, remoteContext}];
    if (bound.proxy == nullptr) {
        bound.request = std::make_unique<LoopbackProxyRequest>(*this, remoteContext);
        bound.proxy.reset(createServiceRegistryObserverProxy());
        bound.proxy->initProxy(*bound.request);
    }
    return bound.proxy.get();
}

ProtocolAdapter* LoopbackFramework::getProtocolAdapter(const std::string& protocol) {
    return protocol == BinaryProtocolAdapter::kProtocolName ? &adapter : nullptr;
}
