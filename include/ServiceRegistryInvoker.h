#pragma once

/// \file
/// The service side of the registry's remote binding.

#include "Invoker.h"
#include "ServiceRegistryExport.h"

class FrameworkContext;

/// Serves remote ServiceRegistryIfc calls: decodes each request with the protocol adapter that
/// the response names, calls the registry it is handed and answers with the encoded reply.
/// Keeps no state between calls, so several threads may call it at once.
class SERVICE_REGISTRY_API ServiceRegistryInvoker : public Invoker {
public:
    /// An invoker with no framework context yet: it answers nothing until initInvoker.
    ServiceRegistryInvoker();
    /// Deletes nothing but itself: the framework context is not owned.
    ~ServiceRegistryInvoker() override;

    /// Serves one encoded request. executable is the registry; response is deleted before this
    /// returns, on every path. Sends no reply when executable is not a ServiceRegistryIfc or the
    /// request names no operation of the registry (both logged as failures), or when the
    /// protocol has no adapter or the request does not decode.
    void handleMessage(Executable* executable, const char* data, int length,
                       InvokerResponse* response) override;
    /// Keeps context (not owned), the source of protocol adapters and of the proxies of remote
    /// observers. Call once, before the first handleMessage.
    void initInvoker(FrameworkContext* context) override;

private:
    // Source of protocol adapters and of the observer proxies of remote subscribers. Not owned;
    // written once by initInvoker, before the first call.
    FrameworkContext* frameworkContext;
};

/// Makes a new invoker with no framework context yet; the caller owns it.
extern "C" SERVICE_REGISTRY_API Invoker* createServiceRegistryInvoker();
