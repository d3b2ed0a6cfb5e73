#pragma once

#include <string>

#include "FrameworkExport.h"

// The way back to the caller of one remote request. The invoker deletes it when done.
class FRAMEWORK_API InvokerResponse {
public:
    virtual ~InvokerResponse() {}
    virtual bool sendReply(const char* data, int length) = 0;
    // The key of the protocol adapter that encoded the request.
    virtual const std::string& getProtocol() const = 0;
    // The requester's endpoint: where it receives calls back.
    virtual const std::string& getRemoteContext() const = 0;
};
