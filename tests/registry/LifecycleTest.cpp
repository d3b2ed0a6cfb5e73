#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>

#include "Context.h"
#include "LogCapture.h"
#include "RecordingObserver.h"
#include "ServiceRegistry.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST(Lifecycle, FactoryMakesIndependentEmptyRegistriesThatLeaveSubscribersAlone) {
    RecordingObserver observer;
    std::unique_ptr<Service> second(createServiceRegistry());
    {
        std::unique_ptr<Service> first(createServiceRegistry());
        ASSERT_NE(first, nullptr);
        ASSERT_NE(first, second);
        auto* registry = dynamic_cast<ServiceRegistry*>(first.get());
        ASSERT_NE(registry, nullptr);
        EXPECT_EQ(static_cast<Executable*>(first.get()), static_cast<Executable*>(registry));
        EXPECT_TRUE(registry->registerSvcInterface("A", "ch"));
        registry->subscribeStartupEvents(&observer);
        registry->subscribeStartupEvents(nullptr);
    }
    EXPECT_THAT(dynamic_cast<ServiceRegistry&>(*second).getSvcDetailsList(), IsEmpty())
        << "registries share nothing";
    // Destroying told and deleted nothing: the observer lives on the stack and still works.
    EXPECT_THAT(observer.names(), ElementsAre("A"));
    observer.newServiceIfcRegistered("still alive");
    EXPECT_EQ(observer.names().size(), 2u);
}

TEST(Lifecycle, InitLogsOnceAtLevelFourAndNoStepIsNeededToWork) {
    ServiceRegistry registry;
    RecordingObserver observer;
    EXPECT_TRUE(registry.subscribeStartupEvents(&observer));
    EXPECT_TRUE(registry.registerSvcInterface("A", "ch"));  // before init

    LogCapture capture(4);
    Context context;
    registry.init(context);
    ASSERT_EQ(capture.lines().size(), 1u);
    EXPECT_EQ(capture.lines()[0].module, "ServiceRegistry");
    EXPECT_EQ(capture.lines()[0].sourceFile, "./src/ServiceRegistry.cpp");
    EXPECT_EQ(capture.lines()[0].level, 4);
    EXPECT_EQ(capture.lines()[0].message, "Service Registry Initialised");
    LogCapture quieter(3);
    registry.init(context);
    EXPECT_THAT(quieter.lines(), IsEmpty());

    registry.run();  // returns at once: the registry has no thread work
    registry.shutdown();
    std::string channel;
    EXPECT_TRUE(registry.findSvcInterface("A", channel));
    EXPECT_TRUE(registry.registerSvcInterface("B", "ch"));  // after shutdown
    EXPECT_THAT(observer.names(), ElementsAre("A", "B"));
}
