#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>

#include "Context.h"
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
