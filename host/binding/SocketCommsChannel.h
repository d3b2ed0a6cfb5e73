#pragma once

#include <memory>
#include <string>

#include "CommsChannelIfc.h"
#include "Connection.h"

class CommsChannelDataContainerMessage;

namespace svcreg {

class RoutedCall;
class Transport;

// Sends text messages from one channel of this process: what a service answers through. A
// message too large for a frame is answered with an error message (see kErrorReplyInterface).
class SocketCommsChannel final : public CommsChannelIfc {
public:
    // sourceChannel is the channel replies to these messages come back to. asking, when given,
    // is the message this channel is handed with to answer, which it must not outlive: what is
    // sent through it may go only to a channel the asker names as its own, and anything else is
    // refused, the message refused for why and the refusal logged once for its connection.
    SocketCommsChannel(Transport& transport, std::string sourceChannel,
                       RoutedCall* asking = nullptr);

    bool sendMessage(CommsChannelDataContainerMessage* message) override;
    bool sendData(const std::string& channel, const char* data, int length) override;
    // via, when given, receives the connection the message went out on.
    SendResult send(const CommsChannelDataContainerMessage& message,
                    std::shared_ptr<Connection>* via = nullptr);

private:
    SendResult sendTooLargeError(const CommsChannelDataContainerMessage& message);
    bool delivered(SendResult result, const std::string& channel);

    Transport& transport;
    const std::string sourceChannel;
    RoutedCall* const asking;
    Connection* const asker;  // asking's connection; null without one
};

}  // namespace svcreg
