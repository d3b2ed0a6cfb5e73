#include "FederationPlugin.h"

#include <dlfcn.h>

#include <string>

namespace {

// Where dlopen finds the plug-in: $ORIGIN is the folder of the program that calls it.
constexpr char kModulePath[] = "$ORIGIN/" SVCREG_FEDERATION_MODULE;

using MakeFederation = Federation* (*)(const FederationOptions&);

svcreg::Outcome cannotLoad(const char* reason) {
    return svcreg::Outcome(svcreg::Status::CannotStart,
                           std::string("cannot load the federation plug-in '") + kModulePath +
                               "': " + (reason != nullptr ? reason : "unknown error"));
}

}  // namespace

svcreg::Outcome FederationPlugin::start(const FederationOptions& options,
                                        svcreg::RemoteDevices& registry,
                                        svcreg::DeviceCalls& deviceCalls) {
    void* module = dlopen(kModulePath, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (module == nullptr) return cannotLoad(dlerror());
    const auto make = reinterpret_cast<MakeFederation>(dlsym(module, kMakeFederationSymbol));
    if (make == nullptr) return cannotLoad(dlerror());
    federation.reset(make(options));
    return federation->start(registry, deviceCalls);
}

void FederationPlugin::stop() {
    if (federation) federation->stop();
}
