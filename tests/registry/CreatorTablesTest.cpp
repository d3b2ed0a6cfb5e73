#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "LogCapture.h"
#include "ServiceRegistry.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST(InvokerCreators, ExactDuplicateIsStoredOnceButLoggedEachTime) {
    ServiceRegistry registry;
    LogCapture capture(4);
    EXPECT_TRUE(registry.registerInvokerInfo("L", "F", "I", "P"));
    EXPECT_TRUE(registry.registerInvokerInfo("L", "F", "I", "P"));
    const std::string line =
        "Registering invoker info. Lib: 'L' Creator: 'F' Ifc: 'I' Protocol: 'P'";
    EXPECT_THAT(capture.messages(), ElementsAre(line, line));
}

TEST(InvokerCreators, FirstRegistrationOfAKeyWinsAndProtocolIsPartOfTheKey) {
    ServiceRegistry registry;
    registry.registerInvokerInfo("L1", "F1", "I", "P");
    registry.registerInvokerInfo("L2", "F2", "I", "P");
    registry.registerInvokerInfo("L1", "F1x", "I", "P");
    registry.registerInvokerInfo("L3", "F3", "I", "Q");

    LogCapture capture(5);
    std::string lib, creatorFn;
    EXPECT_TRUE(registry.findInvoker("I", "P", lib, creatorFn));
    EXPECT_EQ(lib, "L1");
    EXPECT_EQ(creatorFn, "F1");
    EXPECT_THAT(capture.messages(), ElementsAre("Invoker for ifc/prot 'I/P' found - 'L1, F1'"));
    EXPECT_TRUE(registry.findInvoker("I", "Q", lib, creatorFn));
    EXPECT_EQ(lib, "L3");
    EXPECT_EQ(creatorFn, "F3");
}

TEST(InvokerCreators, MissingProtocolLeavesOutputsAndLogsAFailureUnasked) {
    ServiceRegistry registry;
    registry.registerInvokerInfo("L", "F", "I", "P1");
    LogCapture capture(1);
    std::string lib = "keep-lib", creatorFn = "keep-fn";
    EXPECT_FALSE(registry.findInvoker("I", "P2", lib, creatorFn));
    EXPECT_EQ(lib, "keep-lib");
    EXPECT_EQ(creatorFn, "keep-fn");
    auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, 2);
    EXPECT_EQ(lines[0].message, "Invoker for ifc/prot 'I/P2' NOT found");
}

TEST(InvokerCreators, KeyJoinsInterfaceAndProtocolWithAComma) {
    ServiceRegistry registry;
    registry.registerInvokerInfo("L", "F", "a,b", "c");
    registry.registerInvokerInfo("E", "G", "", "");
    std::string lib, creatorFn;
    EXPECT_TRUE(registry.findInvoker("a", "b,c", lib, creatorFn));
    EXPECT_EQ(lib, "L");
    EXPECT_TRUE(registry.findInvoker("", "", lib, creatorFn));
    EXPECT_EQ(lib, "E");
    EXPECT_EQ(creatorFn, "G");
}

TEST(ProxyCreators, KeyIsTheInterfaceAloneSoTheFirstAnswersForEveryProtocol) {
    ServiceRegistry registry;
    LogCapture capture(5);
    EXPECT_TRUE(registry.registerProxyInfo("L1", "F1", "I", "P1"));
    EXPECT_TRUE(registry.registerProxyInfo("L2", "F2", "I", "P2"));
    std::string lib, creatorFn;
    EXPECT_TRUE(registry.findProxy("I", lib, creatorFn));
    EXPECT_EQ(lib, "L1");
    EXPECT_EQ(creatorFn, "F1");
    EXPECT_THAT(
        capture.messages(),
        ElementsAre("Registering proxy info. Lib: 'L1' Creator: 'F1' Ifc: 'I' Protocol: 'P1'",
                    "Registering proxy info. Lib: 'L2' Creator: 'F2' Ifc: 'I' Protocol: 'P2'",
                    "Service Proxy for ifc 'I' found - 'L1, F1'\n"));
}

TEST(ProxyCreators, UnknownInterfaceLeavesOutputsAndLogsNothing) {
    ServiceRegistry registry;
    registry.registerProxyInfo("L", "F", "", "P");
    LogCapture capture(6);
    std::string lib = "keep-lib", creatorFn = "keep-fn";
    EXPECT_FALSE(registry.findProxy("I", lib, creatorFn));
    EXPECT_EQ(lib, "keep-lib");
    EXPECT_EQ(creatorFn, "keep-fn");
    EXPECT_THAT(capture.lines(), IsEmpty());
    EXPECT_TRUE(registry.findProxy("", lib, creatorFn)) << "the empty interface is a name too";
    EXPECT_EQ(lib, "L");
}
