#include "LoopbackProxyRequest.h"

#include <utility>

#include "LoopbackFramework.h"

LoopbackProxyRequest::LoopbackProxyRequest(LoopbackFramework& framework, std::string destination)
    : ProxyRequest(&framework), framework(framework), destination(std::move(destination)) {}

bool LoopbackProxyRequest::sendRequest(Method& request, Method& reply) {
    return framework.deliver(destination, request, std::string(), &reply);
}

bool LoopbackProxyRequest::sendRequestWithCallback(Method& request, Method& reply,
                                                   const std::string& callbackChannel) {
    return framework.deliver(destination, request, callbackChannel, &reply);
}

bool LoopbackProxyRequest::sendOneWay(Method& request) {
    return framework.deliver(destination, request, std::string(), nullptr);
}
