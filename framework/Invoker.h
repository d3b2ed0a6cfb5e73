#pragma once

/// \file
/// The service side of a remote binding.

#include "FrameworkExport.h"

class Executable;
class FrameworkContext;
class InvokerResponse;

/// Service side of a remote binding: decodes a request, calls the executable that serves the
/// interface and answers through the response, which it deletes before handleMessage returns.
class FRAMEWORK_API Invoker {
public:
    /// Destroyed through this type by whoever owns it.
    virtual ~Invoker() {}
    /// Serves one request of length bytes at data for executable, on the calling thread, and
    /// deletes response (owned from here on) before returning, on every path. A request that
    /// cannot be served gets no reply; the implementation says which threads may call at once.
    virtual void handleMessage(Executable* executable, const char* data, int length,
                               InvokerResponse* response) = 0;
    /// Hands the invoker the framework's services (not owned), once, before the first
    /// handleMessage; does nothing unless overridden.
    virtual void initInvoker(FrameworkContext* /*context*/) {}
};
