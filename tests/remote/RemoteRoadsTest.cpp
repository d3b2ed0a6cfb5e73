// The remote roads run whole in one process: proxy, codec, invoker, registry and back, and the
// registry's notifications through observer proxies to the observer invoker of each client.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>

#include "LoopbackFramework.h"
#include "LoopbackProxyRequest.h"
#include "RecordingObserver.h"
#include "ServiceRegistry.h"
#include "ServiceRegistryInvoker.h"
#include "ServiceRegistryObserverInvoker.h"
#include "ServiceRegistryProxy.h"

using ::testing::ElementsAre;

// Through the whole road: a subscription is answered after its replay, later registrations
// reach the subscriber, and an unsubscription removes that very observer and no other.
TEST(RemoteRoads, SubscriptionsReplayBeforeTheirReplyAndEndForTheirObserverOnly) {
    // Declared in destruction order backwards: the registry, which holds observer proxies, goes
    // before the framework that owns them.
    LoopbackFramework framework;
    ServiceRegistry registry;
    std::unique_ptr<Invoker> registryInvoker(createServiceRegistryInvoker());
    std::unique_ptr<Invoker> observerInvoker(createServiceRegistryObserverInvoker());
    registryInvoker->initInvoker(&framework);
    observerInvoker->initInvoker(&framework);
    framework.bind("registry", *registryInvoker, registry);
    // The client's view of the registry: a proxy of its own, bound to the registry's channel.
    LoopbackProxyRequest toRegistry(framework, "registry");
    std::unique_ptr<Proxy> proxy(createServiceRegistryProxy());
    proxy->initProxy(toRegistry);
    auto& client = dynamic_cast<ServiceRegistryIfc&>(*proxy);

    registry.registerSvcInterface("A B", "chanA");
    std::vector<std::string> journal;
    ExecutableObserver one("one", &journal), two("two", &journal);
    // Calls on these channels reach the observers through the observer invoker.
    framework.bind("one.cb", *observerInvoker, one);
    framework.bind("two.cb", *observerInvoker, two);

    EXPECT_TRUE(client.subscribeStartupEvents(&one));
    journal.push_back("answered");
    EXPECT_TRUE(client.subscribeStartupEvents(&two));
    EXPECT_TRUE(client.unsubscribeStartupEvents(&one));
    EXPECT_TRUE(client.registerSvcInterface("C", "chanC"));
    EXPECT_THAT(journal, ElementsAre("one:A", "one:B", "answered", "two:A", "two:B", "two:C"));
}
