#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <list>
#include <map>
#include <set>
#include <thread>

#include "RecordingObserver.h"
#include "ServiceRegistry.h"

namespace {

constexpr int kRegisteringThreads = 4;
constexpr int kRounds = 2000;
// A bound for each thread that runs beside the registrars: each replay or list walks the table.
constexpr int kMaxBeside = 100;

// The name thread registers in round, of the given kind ("keep" or "drop").
std::string nameOf(int thread, const char* kind, int round) {
    return "t" + std::to_string(thread) + "." + kind + std::to_string(round);
}

// Each round registers a name to keep and one to drop, deregisters the latter, and checks that
// its own registrations are visible at once; creators are registered and found alongside.
void registerFindAndDeregister(ServiceRegistry& registry, int thread) {
    const std::string channel = "ch" + std::to_string(thread);
    for (int round = 0; round < kRounds; ++round) {
        const std::string keep = nameOf(thread, "keep", round);
        const std::string drop = nameOf(thread, "drop", round);
        ASSERT_TRUE(registry.registerSvcInterface(keep, channel));
        ASSERT_TRUE(registry.registerSvcInterface(drop, channel));
        std::string found;
        ASSERT_TRUE(registry.findSvcInterface(keep, found));
        ASSERT_EQ(found, channel);
        ASSERT_EQ(registry.findSvcsForIfc(drop), std::vector<std::string>{channel});
        ASSERT_TRUE(registry.deregisterSvcInterfaces(drop, channel));
        ASSERT_FALSE(registry.findSvcInterface(drop, found));

        registry.registerInvokerInfo("lib" + keep, "create", keep, "proto");
        registry.registerProxyInfo("lib" + keep, "create", keep, "proto");
        std::string lib, creatorFn;
        ASSERT_TRUE(registry.findInvoker(keep, "proto", lib, creatorFn));
        ASSERT_EQ(lib, "lib" + keep);
        ASSERT_TRUE(registry.findProxy(keep, lib, creatorFn));
    }
}

}  // namespace

TEST(Concurrency, RegistrationsLookupsAndSubscriptionsFromManyThreadsLoseNothing) {
    ServiceRegistry registry;
    RecordingObserver everything;
    registry.subscribeStartupEvents(&everything);

    std::atomic<bool> registering{true};
    // Observers come and go during the run, so they must outlive it: a notification under way
    // may still reach one after it is unsubscribed.
    std::list<RecordingObserver> transients;
    std::thread subscriber([&] {
        while (registering && transients.size() < kMaxBeside) {
            RecordingObserver& observer = transients.emplace_back();
            registry.subscribeStartupEvents(&observer);
            registry.unsubscribeStartupEvents(&observer);
        }
    });
    std::atomic<int> listsTaken{0};
    std::thread lister([&] {
        while (registering && listsTaken < kMaxBeside) {
            auto details = registry.getSvcDetailsList();
            ASSERT_TRUE(std::is_sorted(details.begin(), details.end(),
                                       [](auto& a, auto& b) { return a.ifc < b.ifc; }));
            ++listsTaken;
        }
    });
    std::vector<std::thread> registrars;
    for (int t = 0; t < kRegisteringThreads; ++t) {
        registrars.emplace_back(registerFindAndDeregister, std::ref(registry), t);
    }
    for (auto& thread : registrars) thread.join();
    registering = false;
    subscriber.join();
    lister.join();
    registry.unsubscribeStartupEvents(&everything);
    registry.registerSvcInterface("after", "ch");

    // The table holds exactly the kept names, each at its thread's channel with an id of its own,
    // and the observer subscribed throughout heard of every registered name exactly once. Every
    // call took exactly one id: the one after is one past the number of calls made.
    std::map<std::string, std::string> expected{{"after", "ch"}}, actual;
    std::multiset<std::string> registered;
    for (int t = 0; t < kRegisteringThreads; ++t) {
        for (int r = 0; r < kRounds; ++r) {
            expected[nameOf(t, "keep", r)] = "ch" + std::to_string(t);
            registered.insert({nameOf(t, "keep", r), nameOf(t, "drop", r)});
        }
    }
    std::set<std::string> ids;
    std::string afterId;
    for (const SvcDetails& details : registry.getSvcDetailsList()) {
        actual[details.ifc] = details.channelName;
        if (details.ifc == "after") afterId = details.svcId;
        EXPECT_TRUE(ids.insert(details.svcId).second) << "id " << details.svcId << " reused";
    }
    EXPECT_EQ(actual, expected);
    EXPECT_EQ(afterId, std::to_string(2 * kRegisteringThreads * kRounds + 1));
    const std::vector<std::string> heard = everything.names();
    EXPECT_EQ(std::multiset<std::string>(heard.begin(), heard.end()), registered);
    EXPECT_GT(listsTaken.load(), 0);
    EXPECT_FALSE(transients.empty());
}
