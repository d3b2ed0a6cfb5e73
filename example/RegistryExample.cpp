// A short tour of the registry: through its local interface (register, find, list, and an
// observer that hears of registrations made before and after it subscribed), with text requests
// on its channel, and with remote calls through a proxy and an invoker in one process.
#include <cstdio>
#include <memory>
#include <string>

#include "CommsChannelDataContainerMessage.h"
#include "CommsChannelIfc.h"
#include "Context.h"
#include "Logging.h"
#include "LoopbackFramework.h"
#include "LoopbackProxyRequest.h"
#include "ServiceRegistry.h"
#include "ServiceRegistryInvoker.h"
#include "ServiceRegistryProxy.h"

namespace {

class PrintingObserver final : public ServiceRegistryObserverIfc {
public:
    void newServiceIfcRegistered(std::string ifc) override {
        std::printf("  observer: '%s' registered\n", ifc.c_str());
    }
};

// Prints the replies the registry sends on its channel.
class PrintingChannel final : public CommsChannelIfc {
public:
    bool sendMessage(CommsChannelDataContainerMessage* message) override {
        int length = message->getDataLength();
        const char* data = message->getData(&length);
        std::printf("  reply to '%s' (request %ld): %.*s\n", message->channel().c_str(),
                    message->requestId(), length, data);
        return true;
    }
    bool sendData(const std::string& channel, const char* data, int length) override {
        std::printf("  raw reply to '%s': %.*s\n", channel.c_str(), length, data);
        return true;
    }
};

void sendText(ServiceRegistry& registry, const std::string& text, long requestId) {
    std::printf("text request: %s\n", text.c_str());
    CommsChannelDataContainerMessage message;
    message.setSourceChannel("tour_channel");
    message.setRequestId(requestId);
    message.setData(text.data(), static_cast<int>(text.size()));
    PrintingChannel channel;
    registry.handleMsg(nullptr, 0, std::string(), channel, &message);
}

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

    auto& service = dynamic_cast<ServiceRegistry&>(*executable);
    sendText(service, "reg:com.example.Radio,radio_channel", 1);
    sendText(service, "find:com.example.Radio,tour_reply", 2);
    sendText(service, "find_svc_id:com.example.Radio", 3);
    sendText(service, "getlist:com.example.Camera,tour_reply", 4);
    sendText(service, "get_service_details_list:", 5);

    // A client in "another process": its proxy's requests are encoded, decoded by the invoker
    // beside the registry and answered, all in this one.
    LoopbackFramework framework;
    std::unique_ptr<Invoker> invoker(createServiceRegistryInvoker());
    invoker->initInvoker(&framework);
    framework.bind("registry_channel", *invoker, *executable);
    LoopbackProxyRequest toRegistry(framework, "registry_channel");
    std::unique_ptr<Proxy> proxy(createServiceRegistryProxy());
    proxy->initProxy(toRegistry);
    auto& remote = dynamic_cast<ServiceRegistryIfc&>(*proxy);
    std::printf(
        "remote registration of com.example.Clock: %s\n",
        remote.registerSvcInterface("com.example.Clock", "clock_channel") ? "true" : "false");
    printDetails(registry);
    return 0;
}
