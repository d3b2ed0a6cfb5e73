// A declared service for the benchmarks: serves CHANNEL and registers IFC at once, says so on
// standard error (the daemon's log, which counts its starts), then serves until SIGINT or
// SIGTERM.
//   declared_bench_service IFC CHANNEL   (the runtime directory: $SVCREG_RUNTIME_DIR)
#include <cstdio>

#include "ServiceRegistry/HostFramework.h"
#include "ServiceRegistry/RegistryClient.h"
#include "ServiceRegistry/StopSignals.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: declared_bench_service IFC CHANNEL\n");
        return 2;
    }
    svcreg::StopSignals stop;
    svcreg::HostFramework framework{svcreg::HostOptions()};
    svcreg::Outcome serving = framework.bindChannel(argv[2], nullptr);
    if (serving) serving = framework.start();
    svcreg::RegistryClient registry;
    if (serving) serving = registry.open();
    if (serving) serving = registry.registerInterfaces({argv[1]}, argv[2]);
    if (!serving) {
        std::fprintf(stderr, "declared_bench_service: %s\n", serving.reason().c_str());
        return 1;
    }
    std::fprintf(stderr, "declared_bench_service: registered\n");
    stop.waitForStop();
    framework.stop();
    return 0;
}
