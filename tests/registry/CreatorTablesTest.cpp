#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "LogCapture.h"
#include "RegistryViews.h"
#include "ServiceRegistry.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// The key is interface "," protocol; the first registration of a key answers, an exact
// duplicate is stored once but logged each time.
TEST(InvokerCreators, FirstRegistrationOfAnInterfaceAndProtocolAnswers) {
    ServiceRegistry registry;
    LogCapture capture(4);
    EXPECT_TRUE(registry.registerInvokerInfo("L1", "F1", "I", "P"));
    EXPECT_TRUE(registry.registerInvokerInfo("L1", "F1", "I", "P"));
    const std::string line =
        "Registering invoker info. Lib: 'L1' Creator: 'F1' Ifc: 'I' Protocol: 'P'";
    EXPECT_THAT(capture.messages(), ElementsAre(line, line));
    registry.registerInvokerInfo("L2", "F2", "I", "P");
    registry.registerInvokerInfo("L3", "F3", "I", "Q");
    registry.registerInvokerInfo("L4", "F4", "a,b", "c");
    registry.registerInvokerInfo("E", "G", "", "");

    LogCapture lookups(5);
    EXPECT_EQ(invokerOf(registry, "I", "P"), "L1,F1");
    EXPECT_THAT(lookups.messages(), ElementsAre("Invoker for ifc/prot 'I/P' found - 'L1, F1'"));
    EXPECT_EQ(invokerOf(registry, "I", "Q"), "L3,F3");
    EXPECT_EQ(invokerOf(registry, "a", "b,c"), "L4,F4");
    EXPECT_EQ(invokerOf(registry, "", ""), "E,G");
}

TEST(InvokerCreators, MissingProtocolLeavesOutputsAndLogsAFailureUnasked) {
    ServiceRegistry registry;
    registry.registerInvokerInfo("L", "F", "I", "P1");
    LogCapture capture(1);
    std::string lib = "keep-lib", creatorFn = "keep-fn";
    EXPECT_FALSE(registry.findInvoker("I", "P2", lib, creatorFn));
    EXPECT_EQ(lib + creatorFn, "keep-libkeep-fn");
    ASSERT_EQ(capture.lines().size(), 1u);
    EXPECT_EQ(capture.lines()[0].level, 2);
    EXPECT_EQ(capture.lines()[0].message, "Invoker for ifc/prot 'I/P2' NOT found");
}

// The key is the interface alone, so the first answers for every protocol; an unknown one
// leaves the outputs alone and logs nothing.
TEST(ProxyCreators, FirstRegistrationOfAnInterfaceAnswersForEveryProtocol) {
    ServiceRegistry registry;
    LogCapture capture(6);
    EXPECT_TRUE(registry.registerProxyInfo("L1", "F1", "I", "P1"));
    EXPECT_TRUE(registry.registerProxyInfo("L2", "F2", "I", "P2"));
    EXPECT_TRUE(registry.registerProxyInfo("L", "F", "", "P"));
    EXPECT_EQ(proxyOf(registry, "I"), "L1,F1");
    EXPECT_EQ(proxyOf(registry, ""), "L,F") << "the empty interface is a name too";
    EXPECT_THAT(
        capture.messages(),
        ElementsAre("Registering proxy info. Lib: 'L1' Creator: 'F1' Ifc: 'I' Protocol: 'P1'",
                    "Registering proxy info. Lib: 'L2' Creator: 'F2' Ifc: 'I' Protocol: 'P2'",
                    "Registering proxy info. Lib: 'L' Creator: 'F' Ifc: '' Protocol: 'P'",
                    "Service Proxy for ifc 'I' found - 'L1, F1'\n",
                    "Service Proxy for ifc '' found - 'L, F'\n"));

    capture.clear();
    std::string lib = "keep-lib", creatorFn = "keep-fn";
    EXPECT_FALSE(registry.findProxy("J", lib, creatorFn));
    EXPECT_EQ(lib + creatorFn, "keep-libkeep-fn");
    EXPECT_THAT(capture.lines(), IsEmpty());
}
