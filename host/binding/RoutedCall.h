#pragma once

#include <string>

#include "Connection.h"
#include "Frame.h"
#include "ServiceRegistry/IncomingCall.h"
#include "SocketInvokerResponse.h"
#include "Transport.h"

class ProtocolAdapter;

namespace svcreg {

// The frame a router hands to what is bound at its channel, with the connection it came on:
// what the handler learns of its caller and how it answers or refuses it. Lives on the stack of
// the routing thread for as long as the frame is handled.
class RoutedCall final : public IncomingCall {
public:
    // adapter decodes the call's data for asks().
    RoutedCall(Transport& transport, ProtocolAdapter& adapter, Connection& from,
               const Frame& frame);

    const PeerCredentials& peer() const override;
    const std::string& callbackChannel() const override;
    bool asks(const std::string& flag) const override;
    void refuse(const std::string& reason) override;
    void addToAnswer(std::string name, std::string value) override;
    bool ownsChannel(const std::string& channel) const override;
    Result<PeerWatchId> watchCaller(std::function<void()> gone) override;

    Connection& connection() const { return from; }
    // What the handler added to the call's answer, for its response to send.
    const AnswerParameters& answerParameters() const { return added; }

private:
    void sendError(const std::string& reason);

    Transport& transport;
    ProtocolAdapter& adapter;
    Connection& from;
    const Frame& frame;
    AnswerParameters added;
};

}  // namespace svcreg
