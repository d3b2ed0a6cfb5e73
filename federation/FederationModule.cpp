// The entry point of the plug-in libsvcreg-federation.so, the one symbol it exports.
#include "Federation.h"
#include "FederationBridge.h"

extern "C" __attribute__((visibility("default"))) Federation* svcreg_make_federation(
    const FederationOptions& options) {
    return new FederationBridge(options);
}
