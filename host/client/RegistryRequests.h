#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ServiceRegistry/RegistryClient.h"

class Method;
class Proxy;
class ServiceRegistryIfc;

namespace svcreg {

class HostFramework;
class PendingReplies;
class RegistryLibrary;
class SocketProxyRequest;

// A client's requests to the registry and their answers: text commands whose replies come to
// the client's channel, remote method calls, and the registry proxy's registrations. A refusal
// carries the registry's reason, when it gave one, as its Outcome's reason.
class RegistryRequests {
public:
    // waiting is where the client's channel hands the text replies in.
    RegistryRequests(const ClientOptions& options, const std::string& channel,
                     HostFramework& framework, PendingReplies& waiting);
    ~RegistryRequests();

    // Makes the proxy registrations go through, with library's factory.
    void makeProxy(RegistryLibrary& library);
    ServiceRegistryIfc& registry();
    // The outcome of the change just asked of registry(), which answered answer.
    Outcome changed(bool answer);
    // The service id the registry gave the registration just asked of registry(); 0 when it
    // did not say.
    ServiceId registeredId() const;

    Outcome ask(const std::string& command, std::string& reply);
    Outcome tell(const std::string& command);
    // A lookup by text command: word, a colon, then the arguments separated by commas. Its
    // reply goes to take, which says whether it holds what was looked for (else NotFound).
    Outcome lookUp(const std::string& word, const std::vector<std::string>& arguments,
                   const std::function<bool(const std::string& reply)>& take);
    // Calls method of the registry's interfaceName, retrying while the registry is busy.
    Outcome call(const char* interfaceName, const char* method, Method& reply);
    // The same for a request with parameters.
    Outcome call(const char* interfaceName, Method& request, Method& reply);

    // Refused, for the registry's reason (empty when it gave none).
    static Outcome refused(std::string reason);
    // Invalid, saying why, for what (quoted, or named) that holds a comma; else Done.
    static Outcome commaProblem(const std::string& what);
    // The first of arguments a text request cannot carry, as commaProblem says.
    static Outcome textArgumentsProblem(const std::vector<std::string>& arguments);

private:
    using Deadline = std::chrono::steady_clock::time_point;

    // Sends text under a new request id whose reply, or refusal, waiting then expects, trying
    // again while the registry is busy until deadline; then reads what comes back while
    // answered() does not hold (see HostFramework::sendAndAwait).
    Outcome sendExpectingReply(const std::string& text, long& requestId, Deadline deadline,
                               const std::function<bool()>& answered);

    const ClientOptions& options;
    const std::string& channel;
    HostFramework& framework;
    PendingReplies& waiting;
    std::atomic<long> nextRequestId{1};
    std::unique_ptr<SocketProxyRequest> proxyRequest;
    std::unique_ptr<Proxy> proxy;
};

}  // namespace svcreg
