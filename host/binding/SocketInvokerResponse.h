#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "InvokerResponse.h"

class ProtocolAdapter;

namespace svcreg {

class Connection;
class Transport;

// String parameters a callee adds to the answer of the call it handles, by name.
using AnswerParameters = std::vector<std::pair<std::string, std::string>>;

// The way back to the process that sent one call. A call that expects an answer gets exactly
// one: if the invoker sends none, an empty one goes when the response is deleted, so that the
// caller learns at once that no result will come.
class SocketInvokerResponse : public InvokerResponse {
public:
    // expectsReply is false for a one-way call, whose replies are dropped. adapter adds to the
    // answer what its callee added to added (see IncomingCall::addToAnswer), which must outlive
    // the response: the call's, which an invoker answers, and deletes the response, before it
    // returns.
    SocketInvokerResponse(Transport& transport, std::shared_ptr<Connection> caller,
                          std::int64_t requestId, std::string protocol, std::string remoteContext,
                          bool expectsReply, ProtocolAdapter& adapter,
                          const AnswerParameters& added);
    ~SocketInvokerResponse() override;

    bool sendReply(const char* data, int length) override;
    const std::string& getProtocol() const override;
    const std::string& getRemoteContext() const override;

private:
    Transport& transport;
    const std::shared_ptr<Connection> caller;
    const std::int64_t requestId;
    const std::string protocol;
    const std::string remoteContext;
    ProtocolAdapter& adapter;
    const AnswerParameters& added;
    bool replyDue;
};

}  // namespace svcreg
