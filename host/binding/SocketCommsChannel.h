#pragma once

#include <string>

#include "CommsChannelIfc.h"
#include "Connection.h"

class CommsChannelDataContainerMessage;

namespace svcreg {

class Transport;

// Sends text messages from one channel of this process: what a service answers through. A
// message too large for a frame is answered with an error message (see kErrorReplyInterface).
class SocketCommsChannel final : public CommsChannelIfc {
public:
    // sourceChannel is the channel replies to these messages come back to.
    SocketCommsChannel(Transport& transport, std::string sourceChannel);

    bool sendMessage(CommsChannelDataContainerMessage* message) override;
    bool sendData(const std::string& channel, const char* data, int length) override;
    SendResult send(const CommsChannelDataContainerMessage& message);

private:
    SendResult sendTooLargeError(const CommsChannelDataContainerMessage& message);

    Transport& transport;
    const std::string sourceChannel;
};

}  // namespace svcreg
