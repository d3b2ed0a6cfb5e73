#pragma once

#include <memory>
#include <string>

#include "ClientOptions.h"
#include "HostFramework.h"
#include "RegistryLibrary.h"
#include "ReplyInbox.h"

class Executable;
class Invoker;
class Proxy;
class ServiceRegistryIfc;

// The client's end of the registry: a channel of its own for replies and notifications, text
// requests to the registry's channel, and a ServiceRegistryProxy for remote method calls.
class RegistrySession {
public:
    enum class Status { Answered, Unreachable, NoReply };

    explicit RegistrySession(const ClientOptions& options);
    ~RegistrySession();
    RegistrySession(const RegistrySession&) = delete;
    RegistrySession& operator=(const RegistrySession&) = delete;

    // Loads the library, binds the client's channel and starts. An observer, when given,
    // receives the registry's notifications on that channel.
    bool open(Executable* observer, std::string& error);

    // Sends a text request and waits for its reply.
    Status ask(const std::string& text, std::string& reply);
    // Sends a text request that gets no reply, and returns once the registry has handled it.
    Status tell(const std::string& text);

    // The registry through remote method calls; lastRemoteStatus says how the last one went.
    ServiceRegistryIfc& remoteRegistry();
    Status lastRemoteStatus() const;

    // What a status other than Answered means, for the user.
    std::string explain(Status status) const;
    const std::string& ownChannel() const { return channel; }

private:
    Status send(const std::string& text, long requestId);

    const ClientOptions& options;
    const std::string channel;
    long nextRequestId = 1;
    ReplyInbox inbox;
    RegistryLibrary library;
    HostFramework framework;
    // Destroyed before the framework that carries their calls.
    std::unique_ptr<SocketProxyRequest> proxyRequest;
    std::unique_ptr<Proxy> proxy;
    std::unique_ptr<Invoker> observerInvoker;
};
