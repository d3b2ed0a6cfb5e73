#include "ObserverProxies.h"

#include <unistd.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ChannelClaim.h"
#include "Context.h"
#include "DaemonUnderTest.h"
#include "Proxy.h"
#include "Service.h"
#include "ServiceRegistry/RegistryLibrary.h"
#include "ServiceRegistryIfc.h"
#include "ServiceRegistryObserverIfc.h"

using namespace svcreg;

namespace {

constexpr const char* kObserverIfc = "ServiceRegistryObserverIfc";

// An observer proxy that counts the names it is told and its own end.
class CountingObserver final : public Proxy, public ServiceRegistryObserverIfc {
public:
    ~CountingObserver() override { ++freed; }
    void initProxy(ProxyRequest&) override {}
    void newServiceIfcRegistered(std::string) override { ++told; }

    static std::atomic<int> told, freed;
};
std::atomic<int> CountingObserver::told{0}, CountingObserver::freed{0};

// The library loaded as the daemon loads it. A subscriber gets one proxy however often it is handed
// out, only while it can be watched; once it has ended, every subscription made with the proxy is
// undone, the retired listener is told once, and the proxy is freed.
TEST(ObserverProxies, OneProxyPerLiveSubscriberEachSubscriptionUndoneOnceItEnds) {
    RegistryLibrary library;
    const Outcome libraryLoaded = library.load(SERVICE_REGISTRY_LIBRARY);
    ASSERT_TRUE(libraryLoaded) << libraryLoaded.reason();
    EXPECT_TRUE(library.createServiceRegistryInvoker && library.createServiceRegistryProxy &&
                library.createServiceRegistryObserverProxy &&
                library.createServiceRegistryObserverInvoker);
    // A library without the factories is refused by the first it lacks (one that cannot be
    // loaded at all is the client's command-line test).
    RegistryLibrary wrongLibrary;
    EXPECT_EQ(wrongLibrary.load(FRAMEWORK_LIBRARY).reason(),
              std::string("'") + FRAMEWORK_LIBRARY + "' has no symbol 'createServiceRegistry'");
    Context context;
    const std::unique_ptr<Service> loaded(library.createServiceRegistry());
    loaded->init(context);
    auto& registry = dynamic_cast<ServiceRegistryIfc&>(*loaded);

    const TempDirectory folder;
    // Forked before the framework starts any thread.
    const std::unique_ptr<ForkedProcess> subscriber = claimInChild(folder.path(), "sub_ch");
    ASSERT_TRUE(subscriber->started);
    // The next process at the channel, which claims it once told to.
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    const UniqueFd tell(go[1]);
    ForkedProcess next([&] {
        static std::thread later([&] {
            static std::unique_ptr<ChannelClaim> claim;
            std::string error;
            char ready = 0;
            if (read(go[0], &ready, 1) == 1) {
                claim = ChannelClaim::claim(RuntimeDirectory(folder.path()), "sub_ch", UniqueFd(),
                                            error);
            }
        });
        return true;
    });
    close(go[0]);
    HostFramework framework(hostOptionsIn(folder.path()));
    const Outcome started = framework.start();
    ASSERT_TRUE(started) << started.reason();
    // The daemon calls the registry on frames, which the framework waits for before it frees a
    // proxy; the calls below run on no frame, so this lock orders them before the retirement.
    std::mutex mutex;
    std::vector<std::string> retired;
    const auto retiredSoFar = [&] {
        std::lock_guard<std::mutex> hold(mutex);
        return retired;
    };
    ObserverProxies proxies(framework, kObserverIfc,
                            []() -> Proxy* { return new CountingObserver; });
    proxies.setRegistry(&registry);
    proxies.setRetiredListener([&](const std::string& channel) {
        std::lock_guard<std::mutex> hold(mutex);
        retired.push_back(channel);
    });

    // The same proxy each time it is handed out, watched once it is to subscribe; none for
    // another interface, and no watch of a channel nobody serves.
    Proxy* const first = proxies.proxyFor(kObserverIfc, "sub_ch");
    ASSERT_NE(first, nullptr);
    auto* const observer = dynamic_cast<ServiceRegistryObserverIfc*>(first);
    ASSERT_TRUE(proxies.watchSubscriber("sub_ch", observer));
    for (int handOut = 0; handOut < 3; ++handOut) {
        EXPECT_EQ(proxies.proxyFor(kObserverIfc, "sub_ch"), first);
        // Each hand-out may subscribe it, as the registry's invoker does.
        registry.subscribeStartupEvents(dynamic_cast<ServiceRegistryObserverIfc*>(first));
    }
    EXPECT_EQ(proxies.proxyFor("OtherIfc", "sub_ch"), nullptr);
    auto* const absent =
        dynamic_cast<ServiceRegistryObserverIfc*>(proxies.proxyFor(kObserverIfc, "absent_ch"));
    EXPECT_FALSE(proxies.watchSubscriber("absent_ch", absent));
    proxies.handBack("absent_ch", absent);
    EXPECT_EQ(CountingObserver::freed, 1) << "given back, never subscribed: freed at once";
    auto* const unsubscriber =
        dynamic_cast<ServiceRegistryObserverIfc*>(proxies.proxyFor(kObserverIfc, "sub_ch_2"));
    proxies.unsubscribed("sub_ch_2", unsubscriber);
    EXPECT_EQ(CountingObserver::freed, 2) << "unsubscribed, never subscribed: freed at once";
    // A subscription undone gives back its place in the channel's room, which subscriptions
    // fill and calls under way do not.
    for (int pair = 0; pair < 100; ++pair) {
        proxies.proxyFor(kObserverIfc, "sub_ch");
        registry.subscribeStartupEvents(observer);
        proxies.subscribed("sub_ch", observer);
        proxies.proxyFor(kObserverIfc, "sub_ch");
        registry.unsubscribeStartupEvents(observer);
        proxies.unsubscribed("sub_ch", observer);
    }
    for (int underWay = 0; underWay < 20; ++underWay) proxies.proxyFor(kObserverIfc, "sub_ch");
    for (unsigned held = 0; held < ObserverProxies::kMostSubscriptions; ++held) {
        proxies.proxyFor(kObserverIfc, "sub_ch");
        EXPECT_TRUE(proxies.hasRoom("sub_ch", observer)) << held;
        registry.subscribeStartupEvents(observer);
        proxies.subscribed("sub_ch", observer);
    }
    EXPECT_FALSE(proxies.hasRoom("sub_ch", observer));
    ASSERT_TRUE(registry.registerSvcInterface("com.ex.Before", "a_ch"));
    EXPECT_EQ(CountingObserver::told, 3 + 16);
    EXPECT_TRUE(retiredSoFar().empty());

    subscriber->kill();
    ASSERT_TRUE(
        eventually([&] { return !retiredSoFar().empty() && CountingObserver::freed == 3; }));
    EXPECT_EQ(retiredSoFar(), std::vector<std::string>{"sub_ch"});
    ASSERT_TRUE(registry.registerSvcInterface("com.ex.After", "a_ch"));
    EXPECT_EQ(CountingObserver::told, 3 + 16);

    // A call handed the retired proxy, which lives on until the call has ended (here a stand-in),
    // gives it back after the next process has a proxy of its own: that one stays.
    ASSERT_EQ(write(tell.get(), "g", 1), 1);
    Proxy* const second = proxies.proxyFor(kObserverIfc, "sub_ch");
    ASSERT_NE(second, first);
    ASSERT_TRUE(eventually([&] {
        return static_cast<bool>(
            proxies.watchSubscriber("sub_ch", dynamic_cast<ServiceRegistryObserverIfc*>(second)));
    }));
    const CountingObserver retiredProxy;
    proxies.handBack("sub_ch", &retiredProxy);
    EXPECT_EQ(CountingObserver::freed, 3);
    EXPECT_EQ(proxies.proxyFor(kObserverIfc, "sub_ch"), second);
    framework.stop();
}

}  // namespace
