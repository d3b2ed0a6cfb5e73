#include "SocketCommsChannel.h"

#include "CommsChannelDataContainerMessage.h"
#include "HostLog.h"
#include "Transport.h"

namespace svcreg {

namespace {

bool delivered(SendResult result, const std::string& channel) {
    if (result == SendResult::Queued) return true;
    HOST_TRACE(3, "Message to channel '%s' not sent: %s", channel.c_str(),
               result == SendResult::Gone        ? "nobody serves it"
               : result == SendResult::Busy      ? "its queue is full"
               : result == SendResult::Forbidden ? "access to its socket is denied"
               : result == SendResult::Untrusted ? "its process is not trusted"
                                                 : "refused");
    return false;
}

}  // namespace

SocketCommsChannel::SocketCommsChannel(Transport& transport, std::string sourceChannel)
    : transport(transport), sourceChannel(std::move(sourceChannel)) {}

SendResult SocketCommsChannel::send(const CommsChannelDataContainerMessage& message) {
    Frame frame;
    frame.kind = Frame::Kind::Message;
    frame.requestId = message.requestId();
    frame.destination = message.channel();
    frame.source = sourceChannel;
    frame.remoteContext = message.remoteContext();
    frame.protocol = message.protocol();
    frame.interface = message.interface();
    int length = message.getDataLength();
    const char* data = message.getData(&length);
    if (data != nullptr && length > 0) frame.data.assign(data, static_cast<std::size_t>(length));
    return transport.send(frame);
}

bool SocketCommsChannel::sendMessage(CommsChannelDataContainerMessage* message) {
    if (message == nullptr) return false;
    return delivered(send(*message), message->channel());
}

bool SocketCommsChannel::sendData(const std::string& channel, const char* data, int length) {
    Frame frame;
    frame.kind = Frame::Kind::Message;
    frame.destination = channel;
    if (data != nullptr && length > 0) frame.data.assign(data, static_cast<std::size_t>(length));
    return delivered(transport.send(frame), channel);
}

}  // namespace svcreg
