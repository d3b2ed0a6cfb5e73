// A program from outside the project: loads the installed registry library, registers a
// service and finds it again. Exits 0 when it is found at its channel.
#include <cstdio>
#include <memory>
#include <string>

#include "Service.h"
#include "ServiceRegistryIfc.h"

extern "C" Service* createServiceRegistry();

int main() {
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
    return found && channel == "consumer" ? 0 : 1;
}
