#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>

#include "Context.h"
#include "LogCapture.h"
#include "RecordingObserver.h"
#include "ServiceRegistry.h"

using ::testing::IsEmpty;

TEST(Lifecycle, FactoryMakesIndependentEmptyRegistriesAddressedByTheirServiceBase) {
    std::unique_ptr<Service> first(createServiceRegistry());
    std::unique_ptr<Service> second(createServiceRegistry());
    ASSERT_NE(first, nullptr);
    ASSERT_NE(first, second);
    auto* registry = dynamic_cast<ServiceRegistry*>(first.get());
    ASSERT_NE(registry, nullptr);
    EXPECT_EQ(static_cast<Executable*>(first.get()), static_cast<Executable*>(registry));

    EXPECT_TRUE(registry->registerSvcInterface("A", "ch"));
    EXPECT_THAT(dynamic_cast<ServiceRegistry&>(*second).getSvcDetailsList(), IsEmpty())
        << "registries share nothing";
}

TEST(Lifecycle, InitLogsOnceAtLevelFour) {
    LogCapture capture(4);
    ServiceRegistry registry;
    Context context;
    registry.init(context);
    auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].module, "ServiceRegistry");
    EXPECT_EQ(lines[0].sourceFile, "./src/ServiceRegistry.cpp");
    EXPECT_EQ(lines[0].level, 4);
    EXPECT_EQ(lines[0].message, "Service Registry Initialised");

    LogCapture quieter(3);
    registry.init(context);
    EXPECT_THAT(quieter.lines(), IsEmpty());
}

TEST(Lifecycle, OperationsWorkBeforeInitAndAfterShutdown) {
    ServiceRegistry registry;
    RecordingObserver observer;
    EXPECT_TRUE(registry.subscribeStartupEvents(&observer));
    EXPECT_TRUE(registry.registerSvcInterface("A", "ch"));
    registry.run();  // returns at once: the registry has no thread work
    registry.shutdown();
    std::string channel;
    EXPECT_TRUE(registry.findSvcInterface("A", channel));
    EXPECT_EQ(channel, "ch");
    EXPECT_TRUE(registry.registerSvcInterface("B", "ch"));
    EXPECT_EQ(observer.names(), (std::vector<std::string>{"A", "B"}));
}

TEST(Lifecycle, DestroyingLeavesSubscribersAlone) {
    RecordingObserver observer;
    {
        std::unique_ptr<Executable> registry(createServiceRegistry());
        auto& ifc = dynamic_cast<ServiceRegistryIfc&>(*registry);
        ifc.subscribeStartupEvents(&observer);
        ifc.subscribeStartupEvents(nullptr);
    }
    // Not called and not deleted: the observer lives on the stack and still works.
    EXPECT_THAT(observer.names(), IsEmpty());
    observer.newServiceIfcRegistered("still alive");
    EXPECT_EQ(observer.names().size(), 1u);
}
