#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "BinaryProtocolAdapter.h"
#include "FrameworkContext.h"
#include "ProxyRequest.h"

class Executable;
class Invoker;
class LoopbackProxyRequest;
class Method;

// The framework of one process with no transport: channels are names bound to an invoker and
// the executable it serves, and a request is encoded, handed to that invoker on the caller's
// thread and its reply decoded, all through the binary protocol adapter. Lets the remote roads
// run whole in one process, codec included.
//
// It makes the observer proxies of remote subscribers itself, one per interface name and
// remote context, and keeps them until it is destroyed: destroy it after whatever holds them.
class LoopbackFramework final : public FrameworkContext, public CallbackChannelResolver {
public:
    LoopbackFramework();
    ~LoopbackFramework();
    LoopbackFramework(const LoopbackFramework&) = delete;
    LoopbackFramework& operator=(const LoopbackFramework&) = delete;

    // Calls for channel go to invoker, which is handed executable. Neither is owned.
    void bind(const std::string& channel, Invoker& invoker, Executable& executable);

    // Encodes request and hands it, with remoteContext, to the invoker bound to channel. With a
    // reply, waits for it and decodes it; true when one came and decoded. Without, true when
    // the channel is bound.
    bool deliver(const std::string& channel, Method& request, const std::string& remoteContext,
                 Method* reply);

    // The channel bound to executable, or empty.
    std::string getCallbackChannel(Executable* executable) override;
    // A ServiceRegistryObserverProxy bound to remoteContext, the same one for the same pair;
    // null for other interfaces and for channels that nothing is bound to.
    Proxy* getProxy(const std::string& interfaceName, const std::string& remoteContext) override;
    // The binary adapter, under BinaryProtocolAdapter::kProtocolName; null for other names.
    ProtocolAdapter* getProtocolAdapter(const std::string& protocol) override;

private:
    struct Endpoint {
        Invoker* invoker;
        Executable* executable;
    };
    struct BoundProxy {
        std::unique_ptr<LoopbackProxyRequest> request;
        std::unique_ptr<Proxy> proxy;
    };

    bool findEndpoint(const std::string& channel, Endpoint& endpoint);

    BinaryProtocolAdapter adapter;
    std::mutex mutex;  // guards endpoints and proxies; never held while a request is delivered
    std::map<std::string, Endpoint> endpoints;
    std::map<std::pair<std::string, std::string>, BoundProxy> proxies;
};
