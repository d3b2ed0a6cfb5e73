#pragma once

/// \file
/// The receiving end of the startup events sent to an observer in another process.

#include "Invoker.h"
#include "ServiceRegistryExport.h"

class FrameworkContext;

/// Receives notifications for an observer of this process: decodes each request and calls
/// newServiceIfcRegistered on the executable it is handed. Never answers. Keeps no state
/// between calls, so several threads may call it at once.
class SERVICE_REGISTRY_API ServiceRegistryObserverInvoker : public Invoker {
public:
    /// An invoker with no framework context yet: it delivers nothing until initInvoker.
    ServiceRegistryObserverInvoker();
    /// Deletes nothing but itself: the framework context is not owned.
    ~ServiceRegistryObserverInvoker() override;

    /// Delivers one encoded notification, on the calling thread. executable is the observer;
    /// response is deleted before this returns, on every path. Logs a failure and delivers
    /// nothing when executable is not a ServiceRegistryObserverIfc, the protocol has no
    /// adapter, or the request does not decode or is not a notification.
    void handleMessage(Executable* executable, const char* data, int length,
                       InvokerResponse* response) override;
    /// Keeps context (not owned), the source of protocol adapters. Call once, before the first
    /// handleMessage.
    void initInvoker(FrameworkContext* context) override;

private:
    // Source of protocol adapters. Not owned; written once by initInvoker, before any call.
    FrameworkContext* frameworkContext;
};

/// Makes a new invoker with no framework context yet; the caller owns it.
extern "C" SERVICE_REGISTRY_API Invoker* createServiceRegistryObserverInvoker();
