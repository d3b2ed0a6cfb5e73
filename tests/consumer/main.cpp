// A program from outside the project, built against the installed headers alone: loads the
// installed registry library, registers a service and finds it again; then asks a registry
// daemon that is not running, through the client API, and must be told it is unreachable.
#include <cstdio>
#include <memory>
#include <string>

#include <ServiceRegistry/RegistryClient.h>
#include <ServiceRegistry/Service.h>
#include <ServiceRegistry/ServiceRegistryIfc.h>

extern "C" Service* createServiceRegistry();

int main(int argc, char** argv) {
    const std::unique_ptr<Service> service(createServiceRegistry());
    auto* registry = dynamic_cast<ServiceRegistryIfc*>(service.get());
    if (registry == nullptr ||
        !registry->registerSvcInterface("com.example.Consumer", "consumer")) {
        std::puts("registration failed");
        return 1;
    }
    std::string channel;
    const bool found = registry->findSvcInterface("com.example.Consumer", channel);
    std::printf("com.example.Consumer is at '%s'\n", channel.c_str());
    if (!found || channel != "consumer") return 1;

    svcreg::ClientOptions options;
    options.runtimeDirectory = argc > 1 ? argv[1] : "/nonexistent";
    svcreg::RegistryClient client(options);
    if (const svcreg::Outcome opened = client.open(); !opened) {
        std::printf("client: %s\n", opened.reason().c_str());
        return 1;
    }
    const svcreg::Result<svcreg::ServiceId> lookup = client.findSvcId("com.example.Consumer");
    std::printf("client: %s\n", lookup.reason().c_str());
    return lookup == svcreg::Status::Unreachable ? 0 : 1;
}
