#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "Connection.h"
#include "Frame.h"
#include "Mutex.h"
#include "QuiescenceTracker.h"
#include "SocketCommsChannel.h"
#include "SocketInvokerResponse.h"
#include "Transport.h"

class Executable;
class Invoker;
class Service;

namespace svcreg {

class AccessGate;

// Hands each frame that arrives on a bound channel to what is bound there: text messages to
// the channel's service, calls to the invoker of their interface.
class FrameRouter {
public:
    explicit FrameRouter(Transport& transport);

    void bindChannel(const std::string& channel, Service* service);
    void bindInvoker(const std::string& channel, const std::string& interfaceName, Invoker& invoker,
                     Executable& executable);
    // Asked about every frame before it is delivered; null lets everything through.
    void setAccessGate(AccessGate* gate);
    SocketCommsChannel* commsChannel(const std::string& boundChannel);
    std::string callbackChannelOf(Executable* executable);

    // The peer whose frame the calling thread is routing; null on other threads.
    static const PeerCredentials* currentCaller();
    // On the transport thread of the connection the frame came in on.
    void route(const std::shared_ptr<Connection>& from, Frame& frame);
    // Runs work once every frame being routed now has been handled.
    void afterFramesInFlight(std::function<void()> work);

private:
    struct InvokerBinding {
        Invoker* invoker;
        Executable* executable;
    };
    struct Endpoint {
        Service* service = nullptr;
        std::unique_ptr<SocketCommsChannel> replies;
        std::map<std::string, InvokerBinding> invokers;
    };

    Endpoint* endpointOf(const std::string& channel);
    void deliverMessage(Endpoint& endpoint, Frame& frame);
    void deliverCall(const std::shared_ptr<Connection>& from, Endpoint* endpoint, Frame& frame);
    bool admitted(const std::shared_ptr<Connection>& from, const Frame& frame);
    void sendError(Connection& to, const Frame& message, const std::string& reason);
    SocketInvokerResponse* responseTo(const std::shared_ptr<Connection>& from, const Frame& frame);

    Transport& transport;
    AccessGate* gate = nullptr;  // set before start
    QuiescenceTracker inFlight;

    // Guards endpoints. Endpoints are bound before start and never removed, so a pointer to
    // one stays valid without it.
    Mutex mutex;
    std::map<std::string, Endpoint> endpoints TS_GUARDED_BY(mutex);
};

}  // namespace svcreg
