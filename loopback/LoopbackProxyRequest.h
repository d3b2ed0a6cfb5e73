#pragma once

#include <string>

#include "ProxyRequest.h"

class LoopbackFramework;

// A request channel to one named channel of a LoopbackFramework. Every send runs to its end
// on the caller's thread, one-way sends included.
class LoopbackProxyRequest final : public ProxyRequest {
public:
    LoopbackProxyRequest(LoopbackFramework& framework, std::string destination);

    bool sendRequest(Method& request, Method& reply) override;
    bool sendRequestWithCallback(Method& request, Method& reply,
                                 const std::string& callbackChannel) override;
    bool sendOneWay(Method& request) override;

private:
    LoopbackFramework& framework;
    const std::string destination;
};
