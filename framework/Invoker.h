#pragma once

#include "FrameworkExport.h"

class Executable;
class FrameworkContext;
class InvokerResponse;

// Service side of a remote binding: decodes a request, calls the executable that serves the
// interface and answers through the response, which it deletes before handleMessage returns.
class FRAMEWORK_API Invoker {
public:
    virtual ~Invoker() {}
    virtual void handleMessage(Executable* executable, const char* data, int length,
                               InvokerResponse* response) = 0;
    virtual void initInvoker(FrameworkContext* /*context*/) {}
};
