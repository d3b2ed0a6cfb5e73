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
#include "SocketCommsChannel.h"
#include "SocketInvokerResponse.h"
#include "Transport.h"

class Executable;
class Invoker;
class ProtocolAdapter;
class Service;

namespace svcreg {

class ReplySink;

// Hands each frame that arrives on a bound channel to what is bound there: text messages to
// the channel's reply sink or else its service, calls to the invoker of their interface.
class FrameRouter {
public:
    // adapter encodes the answers of calls refused by their callee.
    FrameRouter(Transport& transport, ProtocolAdapter& adapter);

    void bindChannel(const std::string& channel, Service* service);
    void bindInvoker(const std::string& channel, const std::string& interfaceName, Invoker& invoker,
                     Executable& executable);
    void bindSharedMemory(const std::string& channel, std::function<std::vector<int>()> share);
    // The messages of channel go to sink, and may be handed over on a thread waiting for a
    // reply: messages of channels with a sink, and nothing else.
    void bindReplies(const std::string& channel, ReplySink& sink);
    bool handledWhileWaiting(const Frame& frame);
    SocketCommsChannel* commsChannel(const std::string& boundChannel);
    std::string callbackChannelOf(Executable* executable);

    // The peer whose frame the calling thread is routing; null on other threads.
    static const PeerCredentials* currentCaller();
    // The channel the frame in hand names for calling back; empty on other threads.
    static std::string currentCallContext();
    // The callee adds the string parameter name to the answer of the call in hand.
    static void addToCurrentAnswer(std::string name, std::string value);
    // The message in hand is refused, for reason: an error goes back to its source over its
    // connection (see kErrorReplyInterface).
    static void refuseCurrentMessage(const std::string& reason);
    // Whether the peer whose frame is in hand may name channel as its own (see
    // Transport::ownsChannel); true on other threads.
    static bool callerOwnsChannel(const std::string& channel);
    // Watches the process of the peer whose frame is in hand (see PeerEnds::watchProcessOf);
    // 0 on other threads.
    static PeerEnds::WatchId watchCurrentCaller(std::function<void()> gone, std::string& why);
    // Whether the call in hand carries the bool parameter flag, true; false on other threads.
    static bool currentCallAsks(const std::string& flag);
    // What the callee added to the answer of the call in hand, once.
    static AnswerParameters takeAnswerParameters();
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
        std::function<std::vector<int>()> sharedMemory;
        ReplySink* replySink = nullptr;
    };

    Endpoint* endpointOf(const std::string& channel);
    void deliverMessage(Endpoint& endpoint, Connection& from, Frame& frame);
    void shareMemory(Endpoint* endpoint, Connection& from, const Frame& frame);
    void deliverCall(const std::shared_ptr<Connection>& from, Endpoint* endpoint, Frame& frame);
    SocketInvokerResponse* responseTo(const std::shared_ptr<Connection>& from, const Frame& frame);

    Transport& transport;
    ProtocolAdapter& adapter;
    QuiescenceTracker inFlight;

    // Guards endpoints. Endpoints are bound before start and never removed, so a pointer to
    // one stays valid without it.
    Mutex mutex;
    std::map<std::string, Endpoint> endpoints TS_GUARDED_BY(mutex);
};

}  // namespace svcreg
