// A service in one file: it serves a channel, registers its interface with the registry daemon,
// looks itself up, hears of its own registration through a watch, and ends cleanly; with
// --serve, only once SIGINT or SIGTERM comes, answering each text message with "pong" until then,
// or, when the registry started it as a declared service with an idle exit
// ($SVCREG_IDLE_EXIT_SEC), once nobody has been connected to it for that long.
//
//   example-service [--serve] [CHANNEL]   (the runtime directory: $SVCREG_RUNTIME_DIR, else the
//                                          default)
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <future>
#include <memory>
#include <string>

#include <ServiceRegistry/CommsChannelIfc.h>
#include <ServiceRegistry/HostFramework.h>
#include <ServiceRegistry/RegistryClient.h>
#include <ServiceRegistry/ServiceBase.h>
#include <ServiceRegistry/StopSignals.h>

namespace {

constexpr char kInterface[] = "com.example.Camera";

// What the channel serves: it answers each text message with "pong".
class CameraService final : public svcreg::ServiceBase {
public:
    void handleMsg(const char*, int, std::string sourceChannel, CommsChannelIfc& channel,
                   CommsChannelDataContainerMessage*) override {
        channel.sendData(sourceChannel, "pong", 4);
    }
};

const char* kindName(svcreg::RegistryEvent::Kind kind) {
    switch (kind) {
        case svcreg::RegistryEvent::Kind::Replayed:
            return "already there";
        case svcreg::RegistryEvent::Kind::Registered:
            return "registered";
        case svcreg::RegistryEvent::Kind::Removed:
            return "removed";
        case svcreg::RegistryEvent::Kind::Lost:
            return "registry gone";
        case svcreg::RegistryEvent::Kind::Restarted:
            break;
    }
    return "registry back";
}

int fail(const char* step, const std::string& why) {
    std::fprintf(stderr, "example-service: %s: %s\n", step, why.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    const bool serve = argc > 1 && std::strcmp(argv[1], "--serve") == 0;
    const std::string channel = argc > 1 + serve ? argv[1 + serve] : "example_camera";
    // First thing: the stop signals are blocked in every thread started after it.
    const std::unique_ptr<svcreg::StopSignals> stop =
        serve ? std::make_unique<svcreg::StopSignals>() : nullptr;

    // 1. Serve the channel: its socket appears in the runtime directory.
    svcreg::HostFramework framework{svcreg::HostOptions()};
    CameraService camera;
    svcreg::Outcome serving = framework.bindChannel(channel, &camera);
    if (serving) serving = framework.start();
    if (!serving) return fail("serving", serving.reason());

    // What the watch callback below hands on: made before the client, so that it outlives the
    // watch however main returns.
    std::promise<void> ownEntrySeen;
    std::atomic<bool> told{false};

    // 2. Reach the registry daemon.
    svcreg::RegistryClient registry;
    if (const svcreg::Outcome opened = registry.open(); !opened) {
        return fail("opening", opened.reason());
    }

    // 3. Watch the table. The callback runs on the client's own threads: lookups work there, any
    //    other request would fail at once with InsideWatch; it only hands news on.
    const svcreg::Outcome watching = registry.watch([&](const svcreg::RegistryEvent& event) {
        std::printf("watch: %s '%s' at '%s'\n", kindName(event.kind), event.entry.ifc.c_str(),
                    event.entry.channel.c_str());
        if (event.entry.ifc == kInterface && event.entry.channel == channel &&
            !told.exchange(true)) {
            ownEntrySeen.set_value();
        }
    });
    if (!watching) return fail("watching", watching.reason());

    // 4. Register: the answer carries the service id the entry got.
    const svcreg::Result<svcreg::ServiceId> id = registry.registerInterfaces({kInterface}, channel);
    if (!id) return fail("registering", id.reason());
    std::printf("registered '%s' at '%s' as service %lld\n", kInterface, channel.c_str(),
                static_cast<long long>(id.value()));

    // 5. Look it up, as a client of the service would.
    const svcreg::Result<std::string> found = registry.find(kInterface);
    if (!found) return fail("looking up", found.reason());
    std::printf("'%s' is served at '%s'\n", kInterface, found->c_str());
    if (ownEntrySeen.get_future().wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        return fail("watching", "the registration was not announced within 5 s");
    }
    if (stop) {
        // Idle: end as on SIGTERM. The framework's thread that tells it only asks, and goes on.
        if (const auto idleExit = svcreg::declaredIdleExit()) {
            framework.whenIdle(*idleExit, [] { kill(getpid(), SIGTERM); });
            std::printf("ending once idle for %lld s\n", static_cast<long long>(idleExit->count()));
        }
        std::printf("serving until SIGINT or SIGTERM\n");
        std::fflush(stdout);
        stop->waitForStop();
    }

    // 6. End cleanly: deregister, stop watching, stop serving.
    if (const svcreg::Outcome gone = registry.deregisterInterfaces({kInterface}, channel); !gone) {
        return fail("deregistering", gone.reason());
    }
    registry.unwatch();
    framework.stop();
    std::printf("done\n");
    return 0;
}
