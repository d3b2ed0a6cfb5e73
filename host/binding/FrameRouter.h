#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Connection.h"
#include "Frame.h"
#include "Mutex.h"
#include "QuiescenceTracker.h"
#include "RoutedCall.h"
#include "SocketCommsChannel.h"
#include "Transport.h"

class Executable;
class Invoker;
class ProtocolAdapter;
class Service;

namespace svcreg {

class CallHandler;
class MessageHandler;
class ReplySink;

// Hands each frame that arrives on a bound channel to what is bound there: text messages to
// the channel's reply sink or else its message handler or service, calls to the call handler or
// invoker of their interface. Handlers get the frame as an IncomingCall, made for it here.
class FrameRouter {
public:
    // adapter decodes what a call asks (IncomingCall::asks), and encodes the answers its callee
    // adds to.
    FrameRouter(Transport& transport, ProtocolAdapter& adapter);

    void bindChannel(const std::string& channel, Service* service);
    void bindChannel(const std::string& channel, MessageHandler& handler);
    void bindInvoker(const std::string& channel, const std::string& interfaceName, Invoker& invoker,
                     Executable& executable);
    void bindCallHandler(const std::string& channel, const std::string& interfaceName,
                         CallHandler& handler);
    void bindSharedMemory(const std::string& channel, std::function<std::vector<int>()> share);
    // The messages of channel go to sink, and may be handed over on a thread waiting for a
    // reply: messages of channels with a sink, and nothing else.
    void bindReplies(const std::string& channel, ReplySink& sink);
    bool handledWhileWaiting(const Frame& frame);
    SocketCommsChannel* commsChannel(const std::string& boundChannel);
    std::string callbackChannelOf(Executable* executable);

    // On the transport thread of the connection the frame came in on.
    void route(const std::shared_ptr<Connection>& from, Frame& frame);
    // Runs work once every frame being routed now has been handled.
    void afterFramesInFlight(std::function<void()> work);

private:
    // An invoker with its executable, or a call handler.
    struct InvokerBinding {
        Invoker* invoker = nullptr;
        Executable* executable = nullptr;
        CallHandler* handler = nullptr;
    };
    struct Endpoint {
        Service* service = nullptr;
        MessageHandler* messages = nullptr;
        std::unique_ptr<SocketCommsChannel> replies;
        std::map<std::string, InvokerBinding> invokers;
        std::function<std::vector<int>()> sharedMemory;
        ReplySink* replySink = nullptr;
    };

    Endpoint* endpointOf(const std::string& channel);
    void deliverMessage(Endpoint& endpoint, RoutedCall& call, Frame& frame);
    void shareMemory(Endpoint* endpoint, Connection& from, const Frame& frame);
    void deliverCall(const std::shared_ptr<Connection>& from, Endpoint* endpoint, RoutedCall& call,
                     Frame& frame);

    Transport& transport;
    ProtocolAdapter& adapter;
    QuiescenceTracker inFlight;

    // Guards endpoints. Endpoints are bound before start and never removed, so a pointer to
    // one stays valid without it.
    Mutex mutex;
    std::map<std::string, Endpoint> endpoints TS_GUARDED_BY(mutex);
};

}  // namespace svcreg
