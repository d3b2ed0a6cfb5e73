#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Mutex.h"
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
// the client's channel, remote method calls, and the registry proxy's registrations. Keeps the
// registry's reason for the last refusal, for explain().
class RegistryRequests {
public:
    // waiting is where the client's channel hands the text replies in.
    RegistryRequests(const ClientOptions& options, const std::string& channel,
                     HostFramework& framework, PendingReplies& waiting);
    ~RegistryRequests();

    // Makes the proxy registrations go through, with library's factory.
    void makeProxy(RegistryLibrary& library);
    ServiceRegistryIfc& registry();
    // The status of the change just asked of registry(), which answered answer.
    ClientStatus changed(bool answer);

    ClientStatus ask(const std::string& command, std::string& reply);
    ClientStatus tell(const std::string& command);
    // A lookup by text command: word, a colon, then the arguments separated by commas. Its
    // reply goes to take, which says whether it holds what was looked for (else NotFound).
    ClientStatus lookUp(const std::string& word, const std::vector<std::string>& arguments,
                        const std::function<bool(const std::string& reply)>& take);
    // Calls method of the registry's interfaceName, retrying while the registry is busy.
    ClientStatus call(const char* interfaceName, const char* method, Method& reply);

    // Refused, keeping reason.
    ClientStatus refused(std::string&& reason);
    // The registry's reason for the last refusal; empty when it gave none.
    std::string refusal() const;

private:
    ClientStatus send(const std::string& text, long requestId);
    // Sends text under a new request id whose reply, or refusal, waiting then expects.
    ClientStatus sendExpectingReply(const std::string& text, long& requestId);

    const ClientOptions& options;
    const std::string& channel;
    HostFramework& framework;
    PendingReplies& waiting;
    std::atomic<long> nextRequestId{1};
    std::unique_ptr<SocketProxyRequest> proxyRequest;
    std::unique_ptr<Proxy> proxy;
    mutable Mutex mutex;  // guards lastRefusal
    std::string lastRefusal TS_GUARDED_BY(mutex);
};

}  // namespace svcreg
