#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "FrameworkContext.h"
#include "HostExport.h"
#include "ProxyRequest.h"
#include "SocketProxyRequest.h"

class CommsChannelIfc;
class Executable;
class Invoker;
class Method;
class Proxy;
class Service;

namespace svcreg {

struct HostOptions {
    // Where the channels' sockets live; empty for the default (see Defaults.h).
    std::string runtimeDirectory;
    // Threads that read connections and handle what arrives on them.
    unsigned workerThreads = 4;
    // How long a call waits for its answer.
    std::chrono::milliseconds requestTimeout{5000};
};

// Told of peers that are gone, so that what is kept for them can be let go.
class PeerListener {
public:
    // Whether the departure of channel's process matters here; only those are looked into.
    virtual bool watchesPeer(const std::string& channel) = 0;
    // Nobody serves channel any more. Called on a transport thread, under no lock of the
    // framework's.
    virtual void peerGone(const std::string& channel) = 0;

protected:
    ~PeerListener() = default;
};

// Makes the proxies that getProxy hands out.
class ProxyProvider {
public:
    // A proxy of interfaceName bound to remoteContext, a valid channel name; null for none.
    virtual Proxy* proxyFor(const std::string& interfaceName, const std::string& remoteContext) = 0;

protected:
    ~ProxyProvider() = default;
};

// The framework of one process, across processes: binds this process's channels, hands what
// arrives on them to the service and invokers bound there, and carries requests, replies and
// one-way calls to other processes, encoded by the binary adapter.
//
// Bind everything, and set the provider and listener, before start. Objects handed in are not
// owned and must outlive stop.
class HOST_API HostFramework final : public FrameworkContext, public CallbackChannelResolver {
public:
    explicit HostFramework(const HostOptions& options);
    ~HostFramework();
    HostFramework(const HostFramework&) = delete;
    HostFramework& operator=(const HostFramework&) = delete;

    // Serves channel here; its text messages go to service->handleMsg (dropped when null).
    // Fails when the runtime directory cannot be made or another process serves the channel.
    // listeningSocket, when not -1, is a listening socket made for the channel by a service
    // manager; the framework takes it over.
    bool bindChannel(const std::string& channel, Service* service, std::string& error,
                     int listeningSocket = -1);
    // Calls of interfaceName arriving on the bound channel go to invoker, with executable.
    void bindInvoker(const std::string& channel, const std::string& interfaceName, Invoker& invoker,
                     Executable& executable);
    void setProxyProvider(ProxyProvider* provider);
    void setPeerListener(PeerListener* listener);

    // False, with the system's reason, when the transport's threads cannot be set up.
    bool start(std::string& error);
    // Returns once no frame is being handled; the sockets of the bound channels are removed.
    void stop();

    // The comms channel that sends from a bound channel; null for others.
    CommsChannelIfc* commsChannel(const std::string& boundChannel);
    std::unique_ptr<SocketProxyRequest> makeProxyRequest(const std::string& channel,
                                                         const std::string& interfaceName);

    // Sends request to the invoker of interfaceName on channel and waits for the answer.
    // remoteContext, when not empty, names the channel where the callee may call back.
    CallOutcome call(const std::string& channel, const std::string& interfaceName,
                     const std::string& remoteContext, Method& request, Method& reply);
    // Sends request without waiting; a peer found gone is reported to the peer listener.
    CallOutcome sendOneWay(const std::string& channel, const std::string& interfaceName,
                           Method& request);
    // Runs work once every frame being handled now has been handled: at once when none is.
    void afterFramesInFlight(std::function<void()> work);

    // The bound channel where executable receives calls; empty when it receives none.
    std::string getCallbackChannel(Executable* executable) override;
    // The provider's proxy; null without a provider and for contexts that are no channel name.
    Proxy* getProxy(const std::string& interfaceName, const std::string& remoteContext) override;
    ProtocolAdapter* getProtocolAdapter(const std::string& protocol) override;

private:
    class Impl;
    std::unique_ptr<Impl> impl;
};

}  // namespace svcreg
