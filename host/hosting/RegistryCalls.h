#pragma once

#include <memory>

#include "ServiceRegistry/HostFramework.h"

class Invoker;

namespace svcreg {

class RegistryPipeline;

// The registry's calls, decoded by the registry library's invoker: each call's changes are made
// for the call they come in (see RegistryPipeline), its refusals and service ids put in its
// answer, though the invoker knows nothing of who calls.
class RegistryCalls final : public CallHandler {
public:
    // Neither owned.
    RegistryCalls(Invoker& invoker, RegistryPipeline& pipeline);

    void handleCall(IncomingCall& call, const char* data, int length,
                    std::unique_ptr<InvokerResponse> response) override;

private:
    Invoker& invoker;
    RegistryPipeline& pipeline;
};

}  // namespace svcreg
