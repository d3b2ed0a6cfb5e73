#include "FrameRouter.h"

#include <sstream>
#include <utility>

#include "CommsChannelDataContainerMessage.h"
#include "HostLog.h"
#include "Invoker.h"
#include "Method.h"
#include "ProtocolAdapter.h"
#include "Service.h"
#include "ServiceRegistry/HostFramework.h"
#include "SharedMemoryRequest.h"

namespace svcreg {

namespace {

// The peer whose frame this thread is handling, if any, the channel it names for calling back
// and what the callee adds to the answer of the call it makes (such as why it refuses it).
thread_local const PeerCredentials* callerInHand = nullptr;
thread_local const std::string* callContextInHand = nullptr;
thread_local AnswerParameters answerInHand;
// The way back to the caller, for an error in answer to its message.
thread_local Transport* transportInHand = nullptr;
thread_local Connection* connectionInHand = nullptr;
thread_local const Frame* frameInHand = nullptr;
thread_local ProtocolAdapter* adapterInHand = nullptr;

// Names the caller and its frame for the life of the scope, however it ends.
struct CallerInHand {
    CallerInHand(Transport& transport, ProtocolAdapter& adapter, Connection& from,
                 const Frame& frame) {
        callerInHand = &from.credentials();
        callContextInHand = &frame.remoteContext;
        transportInHand = &transport;
        connectionInHand = &from;
        frameInHand = &frame;
        adapterInHand = &adapter;
    }
    ~CallerInHand() {
        callerInHand = nullptr;
        callContextInHand = nullptr;
        answerInHand.clear();
        transportInHand = nullptr;
        connectionInHand = nullptr;
        frameInHand = nullptr;
        adapterInHand = nullptr;
    }
};

}  // namespace

const PeerCredentials* FrameRouter::currentCaller() {
    return callerInHand;
}

std::string FrameRouter::currentCallContext() {
    return callContextInHand != nullptr ? *callContextInHand : std::string();
}

void FrameRouter::addToCurrentAnswer(std::string name, std::string value) {
    if (callerInHand != nullptr) answerInHand.emplace_back(std::move(name), std::move(value));
}

// Back over the connection the message came in on, which is the way to its source: never to a
// channel the message merely names.
void FrameRouter::refuseCurrentMessage(const std::string& reason) {
    if (frameInHand == nullptr || frameInHand->kind != Frame::Kind::Message ||
        frameInHand->source.empty()) {
        return;
    }
    Frame error;
    error.kind = Frame::Kind::Message;
    error.requestId = frameInHand->requestId;
    error.destination = frameInHand->source;
    error.source = frameInHand->destination;
    error.interface = kErrorReplyInterface;
    error.data = reason;
    transportInHand->reply(*connectionInHand, error);
}

bool FrameRouter::callerOwnsChannel(const std::string& channel) {
    return connectionInHand == nullptr || transportInHand->ownsChannel(*connectionInHand, channel);
}

PeerEnds::WatchId FrameRouter::watchCurrentCaller(std::function<void()> gone, std::string& why) {
    if (connectionInHand == nullptr) return 0;
    return transportInHand->peerEnds().watchProcessOf(*connectionInHand, std::move(gone), why);
}

// Read again from the frame: the invoker that decoded the call keeps what it read to itself.
bool FrameRouter::currentCallAsks(const std::string& flag) {
    if (frameInHand == nullptr || frameInHand->kind != Frame::Kind::Call) return false;
    std::stringstream bytes(frameInHand->data);
    Method request;
    bool asked = false;
    return adapterInHand->decode(bytes, request) &&
           request.getBoolParameter(flag, asked, Parameter::IN) && asked;
}

AnswerParameters FrameRouter::takeAnswerParameters() {
    return std::exchange(answerInHand, {});
}

FrameRouter::FrameRouter(Transport& transport, ProtocolAdapter& adapter)
    : transport(transport), adapter(adapter) {}

void FrameRouter::bindChannel(const std::string& channel, Service* service) {
    MutexLock hold(mutex);
    Endpoint& endpoint = endpoints[channel];
    endpoint.service = service;
    endpoint.replies = std::make_unique<SocketCommsChannel>(transport, channel);
}

void FrameRouter::bindInvoker(const std::string& channel, const std::string& interfaceName,
                              Invoker& invoker, Executable& executable) {
    MutexLock hold(mutex);
    endpoints[channel].invokers[interfaceName] = InvokerBinding{&invoker, &executable};
}

void FrameRouter::bindSharedMemory(const std::string& channel,
                                   std::function<std::vector<int>()> share) {
    MutexLock hold(mutex);
    endpoints[channel].sharedMemory = std::move(share);
}

void FrameRouter::bindReplies(const std::string& channel, ReplySink& sink) {
    MutexLock hold(mutex);
    endpoints[channel].replySink = &sink;
}

bool FrameRouter::handledWhileWaiting(const Frame& frame) {
    if (frame.kind != Frame::Kind::Message) return false;
    MutexLock hold(mutex);
    auto found = endpoints.find(frame.destination);
    return found != endpoints.end() && found->second.replySink != nullptr;
}

SocketCommsChannel* FrameRouter::commsChannel(const std::string& boundChannel) {
    MutexLock hold(mutex);
    auto found = endpoints.find(boundChannel);
    return found != endpoints.end() ? found->second.replies.get() : nullptr;
}

std::string FrameRouter::callbackChannelOf(Executable* executable) {
    MutexLock hold(mutex);
    for (const auto& [channel, endpoint] : endpoints) {
        for (const auto& entry : endpoint.invokers) {
            if (entry.second.executable == executable) return channel;
        }
    }
    return std::string();
}

FrameRouter::Endpoint* FrameRouter::endpointOf(const std::string& channel) {
    MutexLock hold(mutex);
    auto found = endpoints.find(channel);
    return found != endpoints.end() ? &found->second : nullptr;
}

void FrameRouter::route(const std::shared_ptr<Connection>& from, Frame& frame) {
    Endpoint* endpoint = endpointOf(frame.destination);
    const QuiescenceTracker::Call call(inFlight);
    const CallerInHand caller(transport, adapter, *from, frame);
    if (frame.kind == Frame::Kind::Descriptors) {
        shareMemory(endpoint, *from, frame);
    } else if (frame.kind != Frame::Kind::Message) {
        deliverCall(from, endpoint, frame);
    } else if (endpoint != nullptr) {
        deliverMessage(*endpoint, *from, frame);
    } else {
        HOST_PEER_TRACE(3, LogLimiter::aboutUser(from->credentials().uid),
                        "Message from %s for channel '%s', which is not served here, dropped",
                        from->credentials().describe().c_str(), frame.destination.c_str());
    }
}

void FrameRouter::afterFramesInFlight(std::function<void()> work) {
    inFlight.defer(std::move(work));
}

// The service answers through a channel that sends only to where the asker may send; a reply
// sink takes the frame's data as it is.
void FrameRouter::deliverMessage(Endpoint& endpoint, Connection& from, Frame& frame) {
    if (endpoint.replySink != nullptr) {
        endpoint.replySink->replyArrived(frame.requestId, frame.interface, std::move(frame.data));
        return;
    }
    if (endpoint.service == nullptr) return;
    SocketCommsChannel replies(transport, frame.destination, &from);
    CommsChannelDataContainerMessage message;
    message.setChannel(frame.destination);
    message.setSourceChannel(frame.source);
    message.setRemoteContext(frame.remoteContext);
    message.setProtocol(frame.protocol);
    message.setInterface(frame.interface);
    message.setRequestId(static_cast<long>(frame.requestId));
    message.setData(frame.data.data(), static_cast<int>(frame.data.size()));
    endpoint.service->handleMsg(frame.data.data(), static_cast<int>(frame.data.size()),
                                frame.source, replies, &message);
}

// The answer says whether memory is shared, and the first on a connection carries its
// descriptors; the channel's share brings the memory up to date before it returns them.
void FrameRouter::shareMemory(Endpoint* endpoint, Connection& from, const Frame& frame) {
    std::vector<UniqueFd> descriptors;
    if (endpoint != nullptr && endpoint->sharedMemory) {
        for (int descriptor : endpoint->sharedMemory()) descriptors.emplace_back(descriptor);
    }
    const bool shared = !descriptors.empty() && descriptors.size() <= kMaxPassedDescriptors;
    if (!shared || !from.firstDescriptors()) descriptors.clear();
    Frame answer;
    answer.kind = Frame::Kind::Reply;
    answer.requestId = frame.requestId;
    answer.source = frame.destination;
    if (shared) answer.data = kMemoryShared;
    transport.reply(from, answer, std::move(descriptors));
}

SocketInvokerResponse* FrameRouter::responseTo(const std::shared_ptr<Connection>& from,
                                               const Frame& frame) {
    return new SocketInvokerResponse(transport, from, frame.requestId, frame.protocol,
                                     frame.remoteContext, frame.kind == Frame::Kind::Call, adapter);
}

// endpoint is null when the destination is not served here.
void FrameRouter::deliverCall(const std::shared_ptr<Connection>& from, Endpoint* endpoint,
                              Frame& frame) {
    SocketInvokerResponse* response = responseTo(from, frame);
    const InvokerBinding* binding = nullptr;
    if (endpoint != nullptr) {
        auto found = endpoint->invokers.find(frame.interface);
        if (found != endpoint->invokers.end()) binding = &found->second;
    }
    if (binding == nullptr) {
        HOST_PEER_FAILURE(
            LogLimiter::aboutUser(from->credentials().uid),
            "Call from %s of interface '%s' on channel '%s', which has no invoker for it "
            "here",
            from->credentials().describe().c_str(), frame.interface.c_str(),
            frame.destination.c_str());
        delete response;  // answers the caller with nothing
        return;
    }
    binding->invoker->handleMessage(binding->executable, frame.data.data(),
                                    static_cast<int>(frame.data.size()), response);
}

}  // namespace svcreg
