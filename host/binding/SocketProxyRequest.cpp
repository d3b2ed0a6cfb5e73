#include "ServiceRegistry/SocketProxyRequest.h"

#include "HostLog.h"
#include "Method.h"
#include "ServiceRegistry/HostFramework.h"

namespace svcreg {

SocketProxyRequest::SocketProxyRequest(HostFramework& framework, std::string destination,
                                       std::string interface)
    : ProxyRequest(&framework),
      framework(framework),
      destinationChannel(std::move(destination)),
      interfaceName(std::move(interface)) {}

bool SocketProxyRequest::sendRequest(Method& request, Method& reply) {
    return call(request, reply, std::string());
}

bool SocketProxyRequest::sendRequestWithCallback(Method& request, Method& reply,
                                                 const std::string& callbackChannel) {
    return call(request, reply, callbackChannel);
}

bool SocketProxyRequest::call(Method& request, Method& reply, const std::string& remoteContext) {
    return framework.call(destinationChannel, interfaceName, remoteContext, request, reply).ok();
}

// Never waits: a peer that does not keep up loses the request.
bool SocketProxyRequest::sendOneWay(Method& request) {
    const Outcome sent = framework.sendOneWay(destinationChannel, interfaceName, request);
    // relaxed: the flag only thins out the log; it orders nothing else.
    const bool wasLosing = losing.exchange(!sent.ok(), std::memory_order_relaxed);
    if (!sent.ok() && !wasLosing) {
        HOST_PEER_FAILURE(destinationChannel, "'%s' to channel '%s' lost: %s",
                          request.getName().c_str(), destinationChannel.c_str(),
                          sent.reason().c_str());
    }
    return sent.ok();
}

}  // namespace svcreg
