#pragma once

#include "Invoker.h"
#include "ServiceRegistryExport.h"

class FrameworkContext;

// Serves remote ServiceRegistryIfc calls: decodes each request with the protocol adapter that
// the response names, calls the registry it is handed and answers with the encoded reply.
// Keeps no state between calls, so several threads may call it at once.
class SERVICE_REGISTRY_API ServiceRegistryInvoker : public Invoker {
public:
    ServiceRegistryInvoker();
    ~ServiceRegistryInvoker() override;

    // executable is the registry; response is deleted before this returns, on every path.
    void handleMessage(Executable* executable, const char* data, int length,
                       InvokerResponse* response) override;
    void initInvoker(FrameworkContext* context) override;

private:
    // Source of protocol adapters and of the observer proxies of remote subscribers. Not owned;
    // written once by initInvoker, before the first call.
    FrameworkContext* frameworkContext;
};

// Makes a new invoker with no framework context yet; the caller owns it.
extern "C" SERVICE_REGISTRY_API Invoker* createServiceRegistryInvoker();
