#pragma once

#include <atomic>
#include <string>

#include "HostExport.h"
#include "ProxyRequest.h"

class HostFramework;

// A request channel to the executable serving one interface on one channel, possibly in
// another process.
class HOST_API SocketProxyRequest final : public ProxyRequest {
public:
    enum class Outcome {
        Answered,
        Unreachable,  // nobody serves the channel, or it does not keep up
        NoAnswer,     // sent, but no answer came in time or the connection broke
        Refused,      // not a valid channel, or a request too large to send
    };

    SocketProxyRequest(HostFramework& framework, std::string destination, std::string interface);

    bool sendRequest(Method& request, Method& reply) override;
    bool sendRequestWithCallback(Method& request, Method& reply,
                                 const std::string& callbackChannel) override;
    bool sendOneWay(Method& request) override;

    // How the last request through this channel ended.
    Outcome lastOutcome() const { return outcome; }
    const std::string& destination() const { return destinationChannel; }

private:
    bool call(Method& request, Method& reply, const std::string& remoteContext);

    HostFramework& framework;
    const std::string destinationChannel;
    const std::string interfaceName;
    std::atomic<Outcome> outcome{Outcome::Answered};
};
