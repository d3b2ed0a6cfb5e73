// A service that ends soon after it registers: it serves CHANNEL, registers IFC there by remote
// call, and ends DELAY_MS after the registry answered, by _Exit ("exit") or by stopping its
// framework and returning ("stop"); or, "unserved", it registers at CHANNEL without serving it,
// and ends by _Exit. It prints "registered" once the registry answered; exits 1, saying why,
// when it cannot register.
//
//   short_lived_service RUNTIME_DIR LIBRARY CHANNEL IFC DELAY_MS exit|stop|unserved
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "ServiceRegistry/HostFramework.h"
#include "ServiceRegistry/RegistryClient.h"
#include "ServiceRegistry/ServiceBase.h"

namespace {

class Silent final : public svcreg::ServiceBase {};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 7) return 2;
    const std::string channel = argv[3], ifc = argv[4], how = argv[6];
    svcreg::HostOptions host;
    host.runtimeDirectory = argv[1];
    svcreg::HostFramework framework{host};
    Silent service;
    svcreg::Outcome serving;
    if (how != "unserved") {
        serving = framework.bindChannel(channel, &service);
        if (serving) serving = framework.start();
    }
    if (!serving) {
        std::fprintf(stderr, "serving: %s\n", serving.reason().c_str());
        return 1;
    }
    svcreg::ClientOptions options;
    options.runtimeDirectory = argv[1];
    options.library = argv[2];
    svcreg::RegistryClient client(options);
    const svcreg::Outcome opened = client.open();
    const svcreg::Result<svcreg::ServiceId> id = opened ? client.registerInterfaces({ifc}, channel)
                                                        : svcreg::Result<svcreg::ServiceId>(opened);
    if (!id) {
        std::fprintf(stderr, "registering: %s\n", id.reason().c_str());
        return 1;
    }
    std::printf("registered\n");
    std::fflush(stdout);
    // The point of the program: the registry has answered, and the service goes at once.
    std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(argv[5])));
    if (how != "stop") std::_Exit(0);
    framework.stop();
    return 0;
}
