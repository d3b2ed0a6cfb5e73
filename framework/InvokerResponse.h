#pragma once

/// \file
/// The way back to the caller of one remote request.

#include <string>

#include "FrameworkExport.h"

/// The way back to the caller of one remote request. The invoker deletes it when done, on the
/// thread it was handed over on.
class FRAMEWORK_API InvokerResponse {
public:
    /// Destroyed by the invoker, through this type.
    virtual ~InvokerResponse() {}
    /// Sends length bytes at data as the reply. A request has one reply: an implementation may
    /// refuse a second one. False when the reply cannot be sent.
    virtual bool sendReply(const char* data, int length) = 0;
    /// The key of the protocol adapter that encoded the request.
    virtual const std::string& getProtocol() const = 0;
    /// The requester's endpoint: where it receives calls back.
    virtual const std::string& getRemoteContext() const = 0;
};
