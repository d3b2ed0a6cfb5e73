// The remote roads run whole in one process: proxy, codec, invoker, registry and back, and the
// registry's notifications through observer proxies to the observer invoker of each client.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "LoopbackFramework.h"
#include "LoopbackProxyRequest.h"
#include "RecordingObserver.h"
#include "RegistryViews.h"
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

TEST_F(RemoteRoads, RemoteRegistrationsChangeTheRegistryAndNotifyItsObservers) {
    RecordingObserver local;
    registry.subscribeStartupEvents(&local);

    EXPECT_TRUE(client.registry().registerSvcInterface("A B", "chanA"));
    EXPECT_FALSE(client.registry().registerSvcInterface("", "chanA"));
    EXPECT_TRUE(client.registry().registerProxyInfo("libP", "createP", "A", "proto"));
    EXPECT_TRUE(client.registry().registerInvokerInfo("libI", "createI", "A", "proto"));
    EXPECT_THAT(local.names(), ElementsAre("A", "B"));

    EXPECT_THAT(table(registry), ElementsAre("A/1/chanA", "B/1/chanA"));
    EXPECT_EQ(proxyOf(registry, "A"), "libP,createP");
    EXPECT_EQ(invokerOf(registry, "A", "proto"), "libI,createI");

    EXPECT_TRUE(client.registry().deregisterSvcInterfaces("A B", "chanA"));
    EXPECT_THAT(registry.getSvcDetailsList(), IsEmpty());
}

TEST_F(RemoteRoads, SubscriptionReplaysBeforeItsReplyAndThenNotifies) {
    registry.registerSvcInterface("A B", "chanA");
    std::vector<std::string> journal;
    ExecutableObserver observer("client", &journal);
    receiveOn("client.cb", observer);

    EXPECT_TRUE(client.registry().subscribeStartupEvents(&observer));
    journal.push_back("answered");
    EXPECT_TRUE(client.registry().registerSvcInterface("C", "chanC"));
    EXPECT_THAT(journal, ElementsAre("client:A", "client:B", "answered", "client:C"));
}

TEST_F(RemoteRoads, UnsubscriptionRemovesExactlyTheObserverThatWasAdded) {
    ExecutableObserver one, two;
    receiveOn("one.cb", one);
    receiveOn("two.cb", two);
    EXPECT_TRUE(client.registry().subscribeStartupEvents(&one));
    EXPECT_TRUE(client.registry().subscribeStartupEvents(&two));
    EXPECT_EQ(framework.getProxy("ServiceRegistryObserverIfc", "one.cb"),
              framework.getProxy("ServiceRegistryObserverIfc", "one.cb"));

    EXPECT_TRUE(client.registry().unsubscribeStartupEvents(&one));
    registry.registerSvcInterface("D", "chanD");
    EXPECT_THAT(one.names(), IsEmpty());
    EXPECT_THAT(two.names(), ElementsAre("D"));
}

TEST_F(RemoteRoads, AnObserverWithoutCallbackChannelCannotSubscribe) {
    ExecutableObserver unreachable;  // bound to no channel
    EXPECT_FALSE(client.registry().subscribeStartupEvents(&unreachable));
    registry.registerSvcInterface("E", "chanE");
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
