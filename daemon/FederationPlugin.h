#pragma once

#include <memory>

#include "Federation.h"

// The federation, loaded from its plug-in (libsvcreg-federation.so in the package's private
// library folder, SVCREG_FEDERATION_MODULE from this program's) when the daemon federates, and
// only then. The plug-in stays loaded for the process's life: Cyclone DDS is not made to be
// unloaded.
class FederationPlugin {
public:
    // Loads the plug-in and starts the federation (Federation::start); refused, with why, when
    // the plug-in cannot be loaded or the federation cannot start.
    svcreg::Outcome start(const FederationOptions& options, svcreg::RemoteDevices& registry,
                          svcreg::DeviceCalls& deviceCalls);
    // Stops the federation started, if any.
    void stop();

private:
    std::unique_ptr<Federation> federation;
};
