#include "FederationPlugin.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <string>

namespace {

using MakeFederation = Federation* (*)(const FederationOptions&);

// SVCREG_FEDERATION_MODULE from the folder of this program: the same place in the build as
// installed.
std::string modulePath() {
    char program[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", program, sizeof(program) - 1);
    const std::string path(program, length > 0 ? static_cast<std::size_t>(length) : 0);
    return path.substr(0, path.rfind('/') + 1) + SVCREG_FEDERATION_MODULE;
}

svcreg::Outcome cannotLoad(const char* reason) {
    return svcreg::Outcome(svcreg::Status::CannotStart,
                           std::string("cannot load the federation plug-in: ") +
                               (reason != nullptr ? reason : "unknown error"));
}

}  // namespace

svcreg::Outcome FederationPlugin::start(const FederationOptions& options,
                                        svcreg::RemoteDevices& registry,
                                        svcreg::DeviceCalls& deviceCalls) {
    void* module = dlopen(modulePath().c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (module == nullptr) return cannotLoad(dlerror());
    const auto make = reinterpret_cast<MakeFederation>(dlsym(module, kMakeFederationSymbol));
    if (make == nullptr) return cannotLoad(dlerror());
    federation.reset(make(options));
    return federation->start(registry, deviceCalls);
}

void FederationPlugin::stop() {
    if (federation) federation->stop();
}
