#pragma once

#include <atomic>
#include <string>

#include "HostExport.h"
#include "Method.h"
#include "ProxyRequest.h"

namespace svcreg {

class HostFramework;

/// The reply parameter in which a host that refuses a call says why, beside "result" false (see
/// IncomingCall::refuse).
constexpr const char* kRefusalParameter = "refusal";

/// A request channel to the executable serving one interface on one channel, possibly in
/// another process: what a proxy the framework makes sends its calls through. A call that does
/// not get its answer leaves the reply as it was and returns false; a caller that needs to know
/// why, or what else the answer carries, calls HostFramework::call instead, whose Outcome says.
/// Safe to use from several threads at once.
class HOST_API SocketProxyRequest final : public ProxyRequest {
public:
    /// Sends to interface on destination through framework, which must outlive it.
    SocketProxyRequest(HostFramework& framework, std::string destination, std::string interface);

    /// Sends request and waits for its answer, in reply, as HostFramework::call does: true once
    /// answered. Not on a transport thread (false there, at once).
    bool sendRequest(Method& request, Method& reply) override;
    /// As sendRequest, naming callbackChannel as where the callee may call back.
    bool sendRequestWithCallback(Method& request, Method& reply,
                                 const std::string& callbackChannel) override;
    /// Sends request without waiting: true once it is on its way. A peer that does not keep up
    /// loses it; the losses are logged when they begin, not once each.
    bool sendOneWay(Method& request) override;

    /// The channel the requests go to.
    const std::string& destination() const { return destinationChannel; }

private:
    bool call(Method& request, Method& reply, const std::string& remoteContext);

    HostFramework& framework;
    const std::string destinationChannel;
    const std::string interfaceName;
    // Whether one-way calls are being lost: the first loss after none is logged.
    std::atomic<bool> losing{false};
};

}  // namespace svcreg
