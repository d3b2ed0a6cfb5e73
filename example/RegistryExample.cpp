// A short tour of the registry through its local interface: register, find, list, and an
// observer that hears of registrations made before and after it subscribed.
#include <cstdio>
#include <memory>
#include <string>

#include "Context.h"
#include "Logging.h"
#include "ServiceRegistry.h"

namespace {

class PrintingObserver final : public ServiceRegistryObserverIfc {
public:
    void newServiceIfcRegistered(std::string ifc) override {
        std::printf("  observer: '%s' registered\n", ifc.c_str());
    }
};

void printDetails(ServiceRegistryIfc& registry) {
    std::printf("service details:\n");
    for (const SvcDetails& details : registry.getSvcDetailsList()) {
        std::printf("  %-28s id %-3s at %s\n", details.ifc.c_str(), details.svcId.c_str(),
                    details.channelName.c_str());
    }
}

}  // namespace

int main() {
    // Log lines go to standard error; keep the tour's own lines in step with them.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    setLogThreshold("ServiceRegistry", 4);

    std::unique_ptr<Executable> executable(createServiceRegistry());
    Context context;
    executable->init(context);
    auto& registry = dynamic_cast<ServiceRegistryIfc&>(*executable);

    std::printf("registering two services\n");
    registry.registerSvcInterface("com.example.Audio com.example.Volume", "audio_channel");
    registry.registerSvcInterface("com.example.Display", "display_channel");

    std::string channel;
    if (registry.findSvcInterface("com.example.Volume", channel)) {
        std::printf("com.example.Volume is offered at '%s'\n", channel.c_str());
    }
    printDetails(registry);

    PrintingObserver observer;
    std::printf("subscribing an observer (it hears of what is registered already)\n");
    registry.subscribeStartupEvents(&observer);
    std::printf("registering com.example.Camera\n");
    registry.registerSvcInterface("com.example.Camera", "camera_channel");
    registry.unsubscribeStartupEvents(&observer);

    registry.registerProxyInfo("libCameraProxy.so", "createCameraProxy", "com.example.Camera",
                               "binary");
    std::string lib, creatorFn;
    if (registry.findProxy("com.example.Camera", lib, creatorFn)) {
        std::printf("proxy for com.example.Camera: %s in %s\n", creatorFn.c_str(), lib.c_str());
    }

    registry.deregisterSvcInterfaces("com.example.Audio com.example.Volume", "audio_channel");
    printDetails(registry);
    return 0;
}
