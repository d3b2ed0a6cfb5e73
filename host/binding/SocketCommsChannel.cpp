#include "SocketCommsChannel.h"

#include "CommsChannelDataContainerMessage.h"
#include "FrameCodec.h"
#include "HostLog.h"
#include "RoutedCall.h"
#include "ServiceRegistry/HostFramework.h"
#include "Transport.h"

namespace svcreg {

namespace {

// Within the lines about the peer that asked, which names the channel: one that asks for
// answers to channels nobody serves cannot fill a verbose log. The process's own sends are
// about the channel.
void logUndelivered(SendResult result, const std::string& channel, const Connection* asker) {
    const std::string who =
        asker != nullptr ? LogLimiter::aboutPeer(asker->credentials()) : "channel " + channel;
    HOST_PEER_TRACE(3, who, "Message to channel '%s' not sent: %s", channel.c_str(),
                    result == SendResult::Gone        ? "nobody serves it"
                    : result == SendResult::Busy      ? "its queue is full"
                    : result == SendResult::Forbidden ? "access to its socket is denied"
                    : result == SendResult::Untrusted ? "its process is not trusted"
                    : result == SendResult::TooLarge  ? "too large"
                                                      : "refused");
}

// The frame that carries message, but for its data.
Frame addressedAs(const CommsChannelDataContainerMessage& message, const std::string& source) {
    Frame frame;
    frame.kind = Frame::Kind::Message;
    frame.requestId = message.requestId();
    frame.destination = message.channel();
    frame.source = source;
    frame.remoteContext = message.remoteContext();
    frame.protocol = message.protocol();
    frame.interface = message.interface();
    return frame;
}

}  // namespace

SocketCommsChannel::SocketCommsChannel(Transport& transport, std::string sourceChannel,
                                       RoutedCall* asking)
    : transport(transport),
      sourceChannel(std::move(sourceChannel)),
      asking(asking),
      asker(asking != nullptr ? &asking->connection() : nullptr) {}

bool SocketCommsChannel::delivered(SendResult result, const std::string& channel) {
    if (result == SendResult::Queued) return true;
    if (result != SendResult::Foreign) {
        logUndelivered(result, channel, asker);
        return false;
    }
    const std::string reason = "channel '" + channel +
                               "' is not the asker's own: answers go only to a private channel "
                               "of its connection or a channel served by a process of its user";
    // Once a connection, and a few times an interval for all of a user's connections.
    if (asker->firstMisdeed()) {
        HOST_PEER_FAILURE(LogLimiter::aboutPeer(asker->credentials()),
                          "Answer to %s refused: %s (logged once for its connection)",
                          asker->credentials().describe().c_str(), reason.c_str());
    }
    asking->refuse(reason);
    return false;
}

SendResult SocketCommsChannel::send(const CommsChannelDataContainerMessage& message,
                                    std::shared_ptr<Connection>* via) {
    Frame frame = addressedAs(message, sourceChannel);
    int length = message.getDataLength();
    const char* data = message.getData(&length);
    if (data != nullptr && length > 0) frame.data.assign(data, static_cast<std::size_t>(length));
    return transport.send(frame, via, asker);
}

bool SocketCommsChannel::sendMessage(CommsChannelDataContainerMessage* message) {
    if (message == nullptr) return false;
    SendResult result = send(*message);
    if (result == SendResult::TooLarge) result = sendTooLargeError(*message);
    return delivered(result, message->channel());
}

// Nobody waits in vain for an answer that cannot be carried: an error goes in its place.
SendResult SocketCommsChannel::sendTooLargeError(const CommsChannelDataContainerMessage& message) {
    const std::string reason = "the reply is " + std::to_string(message.getDataLength()) +
                               " bytes, over the " + std::to_string(kMaxFrameBodySize) +
                               "-byte limit of a frame";
    HOST_PEER_FAILURE(message.channel(),
                      "Message to channel '%s' for request %ld not sent: %s; an error goes "
                      "instead",
                      message.channel().c_str(), message.requestId(), reason.c_str());
    Frame error = addressedAs(message, sourceChannel);
    error.interface = kErrorReplyInterface;
    error.data = reason;
    return transport.send(error, nullptr, asker);
}

bool SocketCommsChannel::sendData(const std::string& channel, const char* data, int length) {
    Frame frame;
    frame.kind = Frame::Kind::Message;
    frame.destination = channel;
    if (data != nullptr && length > 0) frame.data.assign(data, static_cast<std::size_t>(length));
    return delivered(transport.send(frame, nullptr, asker), channel);
}

}  // namespace svcreg
