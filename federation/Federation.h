#pragma once

#include "FederationOptions.h"
#include "ServiceRegistry/DeviceCalls.h"
#include "ServiceRegistry/Outcome.h"
#include "ServiceRegistry/RemoteDevices.h"

// The federation as svcregd drives it, made by the plug-in libsvcreg-federation.so, which the
// daemon loads only when it federates: a daemon that does not maps neither Cyclone DDS nor
// OpenSSL. Outlives the RegistryHost it is started on (see FederationBridge).
class Federation {
public:
    virtual ~Federation() = default;
    // Joins the other devices, carrying entries for registry and calls for deviceCalls; refused,
    // with why, when that cannot be done.
    virtual svcreg::Outcome start(svcreg::RemoteDevices& registry,
                                  svcreg::DeviceCalls& deviceCalls) = 0;
    // Leaves them; registry and deviceCalls are no longer called.
    virtual void stop() = 0;
};

// The plug-in's one entry point, looked up by this name: a new Federation for options, which
// the caller owns.
extern "C" Federation* svcreg_make_federation(const FederationOptions& options);
constexpr char kMakeFederationSymbol[] = "svcreg_make_federation";
