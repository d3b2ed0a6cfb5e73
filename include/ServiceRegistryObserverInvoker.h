#pragma once

#include "Invoker.h"
#include "ServiceRegistryExport.h"

class FrameworkContext;

// Receives notifications for an observer of this process: decodes each request and calls
// newServiceIfcRegistered on the executable it is handed. Never answers.
class SERVICE_REGISTRY_API ServiceRegistryObserverInvoker : public Invoker {
public:
    ServiceRegistryObserverInvoker();
    ~ServiceRegistryObserverInvoker() override;

    // executable is the observer; response is deleted before this returns, on every path.
    void handleMessage(Executable* executable, const char* data, int length,
                       InvokerResponse* response) override;
    void initInvoker(FrameworkContext* context) override;

private:
    // Source of protocol adapters. Not owned; written once by initInvoker, before any call.
    FrameworkContext* frameworkContext;
};

// Makes a new invoker with no framework context yet; the caller owns it.
extern "C" SERVICE_REGISTRY_API Invoker* createServiceRegistryObserverInvoker();
