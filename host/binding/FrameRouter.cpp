#include "FrameRouter.h"

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

FrameRouter::FrameRouter(Transport& transport, ProtocolAdapter& adapter)
    : transport(transport), adapter(adapter) {}

void FrameRouter::bindChannel(const std::string& channel, Service* service) {
    MutexLock hold(mutex);
    Endpoint& endpoint = endpoints[channel];
    endpoint.service = service;
    endpoint.replies = std::make_unique<SocketCommsChannel>(transport, channel);
}

void FrameRouter::bindChannel(const std::string& channel, MessageHandler& handler) {
    bindChannel(channel, nullptr);
    MutexLock hold(mutex);
    endpoints[channel].messages = &handler;
}

void FrameRouter::bindInvoker(const std::string& channel, const std::string& interfaceName,
                              Invoker& invoker, Executable& executable) {
    MutexLock hold(mutex);
    endpoints[channel].invokers[interfaceName] = InvokerBinding{&invoker, &executable, nullptr};
}

void FrameRouter::bindCallHandler(const std::string& channel, const std::string& interfaceName,
                                  CallHandler& handler) {
    MutexLock hold(mutex);
    endpoints[channel].invokers[interfaceName] = InvokerBinding{nullptr, nullptr, &handler};
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
    const QuiescenceTracker::Call handling(inFlight);
    RoutedCall call(transport, adapter, *from, frame);
    if (frame.kind == Frame::Kind::Descriptors) {
        shareMemory(endpoint, *from, frame);
    } else if (frame.kind != Frame::Kind::Message) {
        deliverCall(from, endpoint, call, frame);
    } else if (endpoint != nullptr) {
        deliverMessage(*endpoint, call, frame);
    } else {
        HOST_PEER_TRACE(3, LogLimiter::aboutPeer(from->credentials()),
                        "Message from %s for channel '%s', which is not served here, dropped",
                        from->credentials().describe().c_str(), frame.destination.c_str());
    }
}

void FrameRouter::afterFramesInFlight(std::function<void()> work) {
    inFlight.defer(std::move(work));
}

// The service answers through a channel that sends only to where the asker may send; a reply
// sink takes the frame's data as it is.
void FrameRouter::deliverMessage(Endpoint& endpoint, RoutedCall& call, Frame& frame) {
    if (endpoint.replySink != nullptr) {
        endpoint.replySink->replyArrived(frame.requestId, frame.interface, std::move(frame.data));
        return;
    }
    if (endpoint.service == nullptr && endpoint.messages == nullptr) return;
    SocketCommsChannel replies(transport, frame.destination, &call);
    CommsChannelDataContainerMessage message;
    message.setChannel(frame.destination);
    message.setSourceChannel(frame.source);
    message.setRemoteContext(frame.remoteContext);
    message.setProtocol(frame.protocol);
    message.setInterface(frame.interface);
    message.setRequestId(static_cast<long>(frame.requestId));
    message.setData(frame.data.data(), static_cast<int>(frame.data.size()));
    const int length = static_cast<int>(frame.data.size());
    if (endpoint.messages != nullptr) {
        endpoint.messages->handleMessage(call, frame.data.data(), length, frame.source, replies,
                                         &message);
    } else {
        endpoint.service->handleMsg(frame.data.data(), length, frame.source, replies, &message);
    }
}

// The answer says whether memory is shared, and the first on a connection carries its
// descriptors; the channel's share brings the memory up to date before it returns them.
void FrameRouter::shareMemory(Endpoint* endpoint, Connection& from, const Frame& frame) {
    std::vector<UniqueFd> descriptors;
    const bool remote = from.credentials().isRemote();  // memory never crosses devices
    if (remote) {
        HOST_PEER_FAILURE(LogLimiter::aboutDevice(from.credentials().device),
                          "Refused to share the memory of channel '%s' with %s: it is another "
                          "device's",
                          frame.destination.c_str(), from.credentials().describe().c_str());
    } else if (endpoint != nullptr && endpoint->sharedMemory) {
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

// endpoint is null when the destination is not served here.
void FrameRouter::deliverCall(const std::shared_ptr<Connection>& from, Endpoint* endpoint,
                              RoutedCall& call, Frame& frame) {
    auto response = std::make_unique<SocketInvokerResponse>(
        transport, from, frame.requestId, frame.protocol, frame.remoteContext,
        frame.kind == Frame::Kind::Call, adapter, call.answerParameters());
    const InvokerBinding* binding = nullptr;
    if (endpoint != nullptr) {
        auto found = endpoint->invokers.find(frame.interface);
        if (found != endpoint->invokers.end()) binding = &found->second;
    }
    if (binding == nullptr) {
        HOST_PEER_FAILURE(
            LogLimiter::aboutPeer(from->credentials()),
            "Call from %s of interface '%s' on channel '%s', which has no invoker for it "
            "here",
            from->credentials().describe().c_str(), frame.interface.c_str(),
            frame.destination.c_str());
        return;  // the response, deleted, answers the caller with nothing
    }
    const int length = static_cast<int>(frame.data.size());
    if (binding->handler != nullptr) {
        binding->handler->handleCall(call, frame.data.data(), length, std::move(response));
    } else {
        binding->invoker->handleMessage(binding->executable, frame.data.data(), length,
                                        response.release());
    }
}

}  // namespace svcreg
