#pragma once

#include <atomic>
#include <chrono>
#include <optional>
#include <string>

#include "HostExport.h"
#include "Method.h"
#include "Mutex.h"
#include "ProxyRequest.h"

namespace svcreg {

class HostFramework;

// How a call to another process ended.
enum class CallOutcome {
    Answered,
    Gone,       // nobody serves the channel
    Busy,       // its process does not keep up: its queue or its listen backlog is full
    NoAnswer,   // sent, but no answer came in time or the connection broke
    Refused,    // not a valid channel, a request too large to send, or called from a handler
    Forbidden,  // the system denies this process access to the channel's socket
    Untrusted,  // the process serving the channel is not one this process trusts
};

// The reply parameter in which a host that refuses a call says why, beside "result" false.
constexpr const char* kRefusalParameter = "refusal";

// A request channel to the executable serving one interface on one channel, possibly in
// another process.
class HOST_API SocketProxyRequest final : public ProxyRequest {
public:
    SocketProxyRequest(HostFramework& framework, std::string destination, std::string interface);

    bool sendRequest(Method& request, Method& reply) override;
    bool sendRequestWithCallback(Method& request, Method& reply,
                                 const std::string& callbackChannel) override;
    bool sendOneWay(Method& request) override;

    // How the last request through this channel ended.
    CallOutcome lastOutcome() const { return outcome; }
    // The string the callee put in its last answer as parameter name beside its result, such as
    // why it refused the call (kRefusalParameter); empty when it put none.
    std::string lastAnswer(const std::string& name) const;
    const std::string& destination() const { return destinationChannel; }
    // The calls that follow end by deadline, retries of a busy peer included, instead of each
    // waiting the framework's request timeout.
    void endCallsBy(std::chrono::steady_clock::time_point deadline);

private:
    bool call(Method& request, Method& reply, const std::string& remoteContext);

    HostFramework& framework;
    const std::string destinationChannel;
    const std::string interfaceName;
    std::atomic<CallOutcome> outcome{CallOutcome::Answered};
    mutable Mutex mutex;  // guards answer and callDeadline
    Method answer TS_GUARDED_BY(mutex);
    std::optional<std::chrono::steady_clock::time_point> callDeadline TS_GUARDED_BY(mutex);
};

}  // namespace svcreg
