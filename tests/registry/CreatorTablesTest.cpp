#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>

#include "LogCapture.h"
#include "RegistryViews.h"
#include "ServiceRegistry.h"

using ::testing::ElementsAre;

// Invoker creators are keyed by interface "," protocol, proxy creators by the interface alone:
// the first registration of a key answers, for every protocol in the proxies' case. A lookup
// that finds nothing leaves its outputs alone.
TEST(CreatorTables, TheFirstRegistrationOfAKeyAnswers) {
    ServiceRegistry registry;
    for (const auto& [lib, fn, ifc, protocol] : {std::array<const char*, 4>{"L1", "F1", "I", "P"},
                                                 {"L1", "F1", "I", "P"},
                                                 {"L2", "F2", "I", "P"},
                                                 {"L3", "F3", "I", "Q"},
                                                 {"L4", "F4", "a,b", "c"},
                                                 {"E", "G", "", ""}}) {
        EXPECT_TRUE(registry.registerInvokerInfo(lib, fn, ifc, protocol));
        EXPECT_TRUE(registry.registerProxyInfo(lib, fn, ifc, protocol));
    }
    struct Case {
        std::string ifc, protocol, invoker, proxy;
    };
    const Case cases[] = {
        {"I", "P", "L1,F1", "L1,F1"},   {"I", "Q", "L3,F3", "L1,F1"}, {"a", "b,c", "L4,F4", "none"},
        {"a,b", "c", "L4,F4", "L4,F4"}, {"", "", "E,G", "E,G"},       {"J", "P", "none", "none"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ifc + "/" + c.protocol);
        EXPECT_EQ(invokerOf(registry, c.ifc, c.protocol), c.invoker);
        EXPECT_EQ(proxyOf(registry, c.ifc), c.proxy);
    }

    // A missing invoker is a failure, written even where nothing else of the module is.
    LogCapture failures(1);
    std::string lib = "keep-lib", creatorFn = "keep-fn";
    EXPECT_FALSE(registry.findInvoker("I", "P2", lib, creatorFn));
    EXPECT_FALSE(registry.findProxy("J", lib, creatorFn));
    EXPECT_EQ(lib + creatorFn, "keep-libkeep-fn");
    EXPECT_THAT(failures.messages(), ElementsAre("Invoker for ifc/prot 'I/P2' NOT found"));
}
