// The library's registry in one process: its life, what lookups leave in their outputs, and its
// startup events. What the tables hold and find is the pipeline differential's to check (the
// daemon's shared table against the library).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>

#include "Context.h"
#include "LogCapture.h"
#include "RecordingObserver.h"
#include "ServiceRegistry.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// The factory makes independent registries that work before init and after shutdown, and that
// leave their subscribers alone when destroyed.
TEST(Lifecycle, RegistriesShareNothingNeedNoStepToWorkAndLeaveSubscribersAlone) {
    RecordingObserver observer;
    std::unique_ptr<Service> second(createServiceRegistry());
    {
        std::unique_ptr<Service> first(createServiceRegistry());
        auto* registry = dynamic_cast<ServiceRegistry*>(first.get());
        ASSERT_NE(registry, nullptr);
        ASSERT_NE(first, second);
        registry->subscribeStartupEvents(&observer);
        registry->subscribeStartupEvents(nullptr);
        EXPECT_TRUE(registry->registerSvcInterface("A", "ch"));  // before init
        Context context;
        registry->init(context);
        registry->run();  // returns at once: the registry has no thread work
        registry->shutdown();
        EXPECT_TRUE(registry->registerSvcInterface("B", "ch"));  // after shutdown
    }
    EXPECT_THAT(dynamic_cast<ServiceRegistry&>(*second).getSvcDetailsList(), IsEmpty());
    // Destroying told and deleted nothing: the observer lives on the stack and still works.
    EXPECT_THAT(observer.names(), ElementsAre("A", "B"));
    observer.newServiceIfcRegistered("still alive");
    EXPECT_EQ(observer.names().size(), 3u);
}

// Not found empties the channel, but an empty name leaves it alone; a creator not found leaves
// its outputs alone, and a missing invoker is a failure, written even where nothing else is.
TEST(Find, MissesLeaveTheirOutputsAsTheirKindSaysAndAMissingInvokerIsAFailure) {
    ServiceRegistry registry;
    registry.registerSvcInterface("A B", "ch1");
    registry.registerInvokerInfo("lib", "fn", "I", "P");
    std::string channel = "stale";
    EXPECT_FALSE(registry.findSvcInterface("", channel));
    EXPECT_EQ(channel, "stale");
    for (const char* absent : {"Z", "A B", "a"}) {
        channel = "stale";
        EXPECT_FALSE(registry.findSvcInterface(absent, channel)) << absent;
        EXPECT_EQ(channel, "") << absent;
    }

    LogCapture failures(1);
    std::string lib = "keep-lib", creatorFn = "keep-fn";
    EXPECT_FALSE(registry.findInvoker("I", "P2", lib, creatorFn));
    EXPECT_FALSE(registry.findProxy("I", lib, creatorFn));
    EXPECT_EQ(lib + creatorFn, "keep-libkeep-fn");
    EXPECT_THAT(failures.messages(), ElementsAre("Invoker for ifc/prot 'I/P2' NOT found"));
}

TEST(Subscribe, ReplaysEachDistinctNameOnceInByteOrderButNeverTheEmptyOne) {
    ServiceRegistry registry;
    RecordingObserver early, late;
    registry.subscribeStartupEvents(&early);
    EXPECT_THAT(early.names(), IsEmpty());
    registry.registerSvcInterface("B", "ch1");
    registry.registerSvcInterface("A ", "ch1");
    registry.registerSvcInterface("A", "ch2");
    EXPECT_THAT(early.names(), ElementsAre("B", "A", "", "A"));
    EXPECT_TRUE(registry.subscribeStartupEvents(&late));
    EXPECT_THAT(late.names(), ElementsAre("A", "B"));
}

// Each subscription is a place, replayed to and told in order; unsubscribing removes the first
// place of that observer only, and every observer hears of a name before any hears of the next.
TEST(Subscribe, EachSubscriptionIsAPlaceUntilAnUnsubscribeRemovesIt) {
    ServiceRegistry registry;
    registry.registerSvcInterface("A", "ch");
    std::vector<std::string> journal;
    RecordingObserver first("1", &journal), second("2", &journal), stranger;
    EXPECT_TRUE(registry.unsubscribeStartupEvents(&stranger));
    for (RecordingObserver* observer : {&first, &second, &first}) {
        registry.subscribeStartupEvents(observer);
    }
    EXPECT_THAT(journal, ElementsAre("1:A", "2:A", "1:A")) << "a replay per subscription";

    EXPECT_TRUE(registry.unsubscribeStartupEvents(&first));
    EXPECT_TRUE(registry.unsubscribeStartupEvents(&stranger));
    EXPECT_TRUE(registry.unsubscribeStartupEvents(nullptr));
    journal.clear();
    registry.registerSvcInterface("B C", "ch");
    EXPECT_THAT(journal, ElementsAre("2:B", "1:B", "2:C", "1:C"));

    EXPECT_TRUE(registry.unsubscribeStartupEvents(&first));
    journal.clear();
    registry.registerSvcInterface("D", "ch");
    EXPECT_THAT(journal, ElementsAre("2:D"));
    EXPECT_THAT(stranger.names(), IsEmpty());
}

TEST(Notify, NullSubscriberIsSkippedWithAFailureLinePerNameAndPerPlace) {
    ServiceRegistry registry;
    RecordingObserver observer;
    LogCapture capture(1);  // the NULL-subscriber line is written whatever the threshold
    EXPECT_TRUE(registry.subscribeStartupEvents(nullptr));
    registry.subscribeStartupEvents(&observer);
    registry.subscribeStartupEvents(nullptr);
    EXPECT_THAT(capture.lines(), IsEmpty()) << "subscribing null logs nothing";

    registry.registerSvcInterface("A B", "ch");
    EXPECT_THAT(observer.names(), ElementsAre("A", "B"));
    EXPECT_EQ(capture.lines().size(), 4u) << "one failure line per name and per null place";

    registry.unsubscribeStartupEvents(nullptr);
    capture.clear();
    registry.registerSvcInterface("C", "ch");
    EXPECT_EQ(capture.lines().size(), 1u) << "one null place is left";
}

// Registering from inside a notification is allowed: no lock is held while observers are told.
TEST(Notify, ObserversMayCallBackIntoTheRegistry) {
    ServiceRegistry registry;
    RecordingObserver observer, later;
    observer.react = [&](const std::string& ifc) {
        if (ifc != "A") return;
        registry.registerSvcInterface("FromObserver", "ch");
        registry.unsubscribeStartupEvents(&observer);
    };
    registry.subscribeStartupEvents(&observer);
    registry.subscribeStartupEvents(&later);
    registry.registerSvcInterface("A", "ch");
    EXPECT_THAT(observer.names(), ElementsAre("A", "FromObserver"));
    EXPECT_THAT(later.names(), ElementsAre("FromObserver", "A"))
        << "the nested registration is told in full before the outer one goes on";
    std::string channel;
    EXPECT_TRUE(registry.findSvcInterface("FromObserver", channel));
}

TEST(Notify, ObserverThatThrowsLeavesEveryLockFree) {
    ServiceRegistry registry;
    registry.registerSvcInterface("A B C", "ch");
    RecordingObserver thrower, later;
    thrower.react = [](const std::string& ifc) {
        if (ifc == "B") throw std::runtime_error("observer failed on " + ifc);
    };
    EXPECT_THROW(registry.subscribeStartupEvents(&thrower), std::runtime_error);
    EXPECT_THAT(thrower.names(), ElementsAre("A", "B")) << "the replay stops at the throw";

    // Had the replay kept the table lock, each of these would wait for ever.
    EXPECT_TRUE(registry.registerSvcInterface("D", "ch"));
    EXPECT_TRUE(registry.subscribeStartupEvents(&later));
    EXPECT_THAT(later.names(), ElementsAre("A", "B", "C", "D"));
    EXPECT_THAT(thrower.names(), ElementsAre("A", "B", "D")) << "it stays subscribed";

    // Thrown during a notification: the registration stands, later subscribers miss it.
    EXPECT_THROW(registry.registerSvcInterface("B", "other"), std::runtime_error);
    EXPECT_THAT(registry.findSvcsForIfc("B"), ElementsAre("ch", "other"));
    EXPECT_THAT(later.names(), ElementsAre("A", "B", "C", "D"));
    EXPECT_TRUE(registry.unsubscribeStartupEvents(&thrower));
    EXPECT_TRUE(registry.registerSvcInterface("E", "ch"));
    EXPECT_THAT(later.names(), ElementsAre("A", "B", "C", "D", "E"));
}
