// The remote roads run whole in one process: proxy, codec, invoker, registry and back, and the
// registry's notifications through observer proxies to the observer invoker of each client.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "LoopbackFramework.h"
#include "LoopbackProxyRequest.h"
#include "RecordingObserver.h"
#include "ServiceRegistry.h"
#include "ServiceRegistryInvoker.h"
#include "ServiceRegistryObserverInvoker.h"
#include "ServiceRegistryProxy.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

// Member order is destruction order backwards: the registry, which holds observer proxies, goes
// before the framework that owns them.
class RemoteRoads : public ::testing::Test {
protected:
    RemoteRoads() {
        registryInvoker->initInvoker(&framework);
        observerInvoker->initInvoker(&framework);
        framework.bind("registry", *registryInvoker, registry);
    }

    // A client's view of the registry: a proxy of its own, bound to the registry's channel.
    struct Client {
        explicit Client(LoopbackFramework& framework) : toRegistry(framework, "registry") {
            proxy->initProxy(toRegistry);
        }
        ServiceRegistryIfc& registry() { return dynamic_cast<ServiceRegistryIfc&>(*proxy); }

        LoopbackProxyRequest toRegistry;
        std::unique_ptr<Proxy> proxy{createServiceRegistryProxy()};
    };

    // Calls on channel reach observer through the clients' observer invoker.
    void receiveOn(const std::string& channel, ExecutableObserver& observer) {
        framework.bind(channel, *observerInvoker, observer);
    }

    LoopbackFramework framework;
    ServiceRegistry registry;
    std::unique_ptr<Invoker> registryInvoker{createServiceRegistryInvoker()};
    std::unique_ptr<Invoker> observerInvoker{createServiceRegistryObserverInvoker()};
    Client client{framework};
};

}  // namespace

// Through the whole road: a subscription is answered after its replay, later registrations
// reach the subscriber, and an unsubscription removes that very observer and no other.
TEST_F(RemoteRoads, SubscriptionsReplayBeforeTheirReplyAndEndForTheirObserverOnly) {
    registry.registerSvcInterface("A B", "chanA");
    std::vector<std::string> journal;
    ExecutableObserver one("one", &journal), two("two", &journal), unreachable;
    receiveOn("one.cb", one);
    receiveOn("two.cb", two);

    EXPECT_TRUE(client.registry().subscribeStartupEvents(&one));
    journal.push_back("answered");
    EXPECT_TRUE(client.registry().subscribeStartupEvents(&two));
    EXPECT_FALSE(client.registry().subscribeStartupEvents(&unreachable));  // no callback channel
    EXPECT_TRUE(client.registry().unsubscribeStartupEvents(&one));
    EXPECT_TRUE(client.registry().registerSvcInterface("C", "chanC"));
    EXPECT_THAT(journal, ElementsAre("one:A", "one:B", "answered", "two:A", "two:B", "two:C"));
    EXPECT_THAT(unreachable.names(), IsEmpty());
}

TEST_F(RemoteRoads, ClientsOnManyThreadsRegisterAndSubscribeAtOnce) {
    constexpr int kClients = 4;
    constexpr int kRounds = 200;
    std::vector<ExecutableObserver> observers(kClients);
    for (int c = 0; c < kClients; ++c) receiveOn("cb" + std::to_string(c), observers[c]);

    std::vector<std::thread> threads;
    for (int c = 0; c < kClients; ++c) {
        threads.emplace_back([&, c] {
            Client own(framework);
            ASSERT_TRUE(own.registry().subscribeStartupEvents(&observers[c]));
            for (int r = 0; r < kRounds; ++r) {
                const std::string name = "c" + std::to_string(c) + "." + std::to_string(r);
                ASSERT_TRUE(own.registry().registerSvcInterface(name, "ch"));
                ASSERT_TRUE(own.registry().deregisterSvcInterfaces(name, "ch"));
            }
        });
    }
    for (auto& thread : threads) thread.join();

    // Each observer heard its own client's names after it subscribed, each once.
    for (int c = 0; c < kClients; ++c) {
        std::vector<std::string> own;
        for (const std::string& name : observers[c].names()) {
            if (name.rfind("c" + std::to_string(c) + ".", 0) == 0) own.push_back(name);
        }
        EXPECT_EQ(own.size(), static_cast<size_t>(kRounds)) << "client " << c;
    }
    EXPECT_THAT(registry.getSvcDetailsList(), IsEmpty());
}
