// Eight clients at once, each making a thousand remote calls to a real daemon.
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "CommsChannelDataContainerMessage.h"
#include "HostFramework.h"
#include "ProcessHarness.h"
#include "Proxy.h"
#include "RegistryLibrary.h"
#include "ReplyInbox.h"
#include "ServiceRegistryIfc.h"
#include "SocketCommsChannel.h"

namespace {

constexpr int kClients = 8;
constexpr int kRequestsPerClient = 1000;

// One client: a framework and channel of its own, so its own connections to the daemon.
// It registers by remote calls and looks up with text requests.
class RemoteClient {
public:
    RemoteClient(const std::string& runtimeDirectory, const RegistryLibrary& library,
                 const std::string& channel)
        : channel(channel),
          framework(optionsFor(runtimeDirectory)),
          request(framework.makeProxyRequest("svcreg", "ServiceRegistryIfc")),
          proxy(library.createServiceRegistryProxy()) {
        proxy->initProxy(*request);
        std::string error;
        bound = framework.bindChannel(channel, &inbox, error);
        framework.start();
    }

    bool bound = false;

    bool registerSvcInterface(const std::string& ifc, const std::string& at) {
        return dynamic_cast<ServiceRegistryIfc&>(*proxy).registerSvcInterface(ifc, at);
    }

    // The reply to a text request, or empty when none came in time.
    std::string ask(const std::string& text) {
        CommsChannelDataContainerMessage message;
        message.setChannel("svcreg");
        message.setRequestId(++lastRequestId);
        message.setData(text.data(), static_cast<int>(text.size()));
        framework.commsChannel(channel)->send(message);
        std::string reply;
        inbox.await(lastRequestId, Clock::now() + std::chrono::seconds(10), reply);
        return reply;
    }

private:
    static HostOptions optionsFor(const std::string& runtimeDirectory) {
        HostOptions options;
        options.runtimeDirectory = runtimeDirectory;
        options.workerThreads = 1;
        return options;
    }

    const std::string channel;
    long lastRequestId = 0;
    ReplyInbox inbox;
    HostFramework framework;
    std::unique_ptr<SocketProxyRequest> request;
    std::unique_ptr<Proxy> proxy;
};

TEST(ConcurrentClients, EveryQueryIsAnsweredAndEveryRegistrationKept) {
    DaemonUnderTest daemon;
    RegistryLibrary library;
    std::string error;
    ASSERT_TRUE(library.load(SERVICE_REGISTRY_LIBRARY, error)) << error;

    std::atomic<int> failures{0};
    std::vector<std::thread> clients;
    for (int client = 0; client < kClients; ++client) {
        clients.emplace_back([&, client] {
            const std::string channel = "load_ch" + std::to_string(client);
            RemoteClient remote(daemon.runtimeDirectory(), library, channel);
            if (!remote.bound) ++failures;
            std::string name;
            for (int i = 0; i < kRequestsPerClient; ++i) {
                if (i % 2 == 0) {
                    name = "load.c" + std::to_string(client) + ".i" + std::to_string(i);
                    if (!remote.registerSvcInterface(name, channel)) ++failures;
                } else if (remote.ask("find:" + name + "," + channel) != "found:" + channel) {
                    ++failures;
                }
            }
        });
    }
    for (std::thread& client : clients) client.join();
    EXPECT_EQ(failures.load(), 0);

    RemoteClient checker(daemon.runtimeDirectory(), library, "checker_ch");
    const std::string details = checker.ask("get_service_details_list:");
    for (int client = 0; client < kClients; ++client) {
        for (int i = 0; i < kRequestsPerClient; i += 2) {
            const std::string record =
                "(load.c" + std::to_string(client) + ".i" + std::to_string(i) + ",";
            ASSERT_NE(details.find(record), std::string::npos) << record;
        }
    }
}

}  // namespace
