// What the tables hold and find is the pipeline differential's to check (the daemon's shared
// table against the library); these are the output arguments a lookup leaves, and the failure
// line of a missing invoker, which it does not compare.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "LogCapture.h"
#include "ServiceRegistry.h"

using ::testing::ElementsAre;

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
