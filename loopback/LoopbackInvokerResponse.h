#pragma once

#include <string>

#include "InvokerResponse.h"

// The way back from an invoker of a LoopbackFramework: sendReply stores the encoded reply.
class LoopbackInvokerResponse : public InvokerResponse {
public:
    // reply receives the bytes of the reply; null for a one-way request, which has no way back.
    LoopbackInvokerResponse(std::string protocol, std::string remoteContext, std::string* reply);

    bool sendReply(const char* data, int length) override;
    const std::string& getProtocol() const override;
    const std::string& getRemoteContext() const override;

private:
    const std::string protocol;
    const std::string remoteContext;
    std::string* const reply;  // not owned; outlives this response
};
