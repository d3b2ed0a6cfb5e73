#pragma once

#include <memory>

#include "Mutex.h"
#include "ServiceRegistry/HostFramework.h"

class Invoker;

namespace svcreg {

class ObserverProxies;
class RegistryPipeline;

// The registry's calls, decoded by the registry library's invoker: each call's changes are made
// for the call they come in (see RegistryPipeline), its refusals and service ids put in its
// answer, though the invoker knows nothing of who calls. The observer proxy a (un)subscription
// was handed goes back to observers when the call subscribed nothing with it.
class RegistryCalls final : public CallHandler {
public:
    // None owned.
    RegistryCalls(Invoker& invoker, RegistryPipeline& pipeline, ObserverProxies& observers);

    void handleCall(IncomingCall& call, const char* data, int length,
                    std::unique_ptr<InvokerResponse> response) override;

private:
    Invoker& invoker;
    RegistryPipeline& pipeline;
    ObserverProxies& observers;
    // Held over a (un)subscription at the registry and its count in observers, so that calls
    // on several threads count the places the registry holds (see CalledRegistry).
    Mutex subscriptionsInOrder;
};

}  // namespace svcreg
