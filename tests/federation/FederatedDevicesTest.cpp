// Devices federated over a link between network namespaces (DeviceNetwork): an entry registered
// on B is found on A as CHANNEL@B; the faults: a link cut silently (as a daemon killed goes), a
// device started again under its name, a device flooding the others. Without DDS Security:
// DeviceCallsTest federates with it, and tries a device of another CA or claiming another's
// name (a name a live device holds is refused by the bridge: FederationBridgeTest). Root only:
// elsewhere every test is skipped with the reason.
//
// The suite sets its namespaces and daemons up once, for all its tests: that takes seconds.
// Bounds are generous (the lease is 2 s, an entry gone within 5 s): the figures themselves are
// federation_bench's.
#include <signal.h>

#include <array>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "FederatedPair.h"

namespace {

constexpr auto kJoin = FederatedPair::kJoin;
constexpr auto kLeaseBound = std::chrono::seconds(5);
constexpr std::size_t kEntriesPerDevice = 20;

bool findsNothing(const DaemonUnderTest& daemon, const std::string& ifc,
                  std::chrono::milliseconds deadline) {
    return eventually([&] { return found(daemon, ifc).empty(); }, deadline);
}

class InsecureFederation : public ::testing::Test {
protected:
    static void TearDownTestSuite() { shared.reset(); }
    void SetUp() override {
        if (!shared) {
            const std::vector<std::string> limited{
                "--limit", "entries-per-device=" + std::to_string(kEntriesPerDevice)};
            shared = std::make_unique<FederatedPair>(false, std::array{limited, limited});
        }
        if (!federation().problem.empty()) GTEST_SKIP() << federation().problem;
    }
    FederatedPair& federation() { return *shared; }
    DaemonUnderTest& a() { return federation().daemon(DeviceNetwork::A); }
    DaemonUnderTest& b() { return federation().daemon(DeviceNetwork::B); }

    static inline std::unique_ptr<FederatedPair> shared;
};

// B's port leaves the switch with every carrier up: each device's entries (and A's creator) go
// from the other after the lease, and come back once the link is whole again.
TEST_F(InsecureFederation, SilentCutDropsEntriesAfterTheLeaseAndHealBringsThemBack) {
    ASSERT_EQ(a().client({"reg-proxy", "libcut.so", "makeCut", "com.ex.CutA", "rpc"}).exitCode, 0);
    const auto proxyOnB = [&] { return b().client({"find-proxy", "com.ex.CutA"}).out; };
    ASSERT_TRUE(registers(a(), "com.ex.CutA", "a_chan"));
    ASSERT_TRUE(registers(b(), "com.ex.CutB", "b_chan"));
    ASSERT_TRUE(finds(a(), "com.ex.CutB", "b_chan@B"));
    ASSERT_TRUE(finds(b(), "com.ex.CutA", "a_chan@A"));
    EXPECT_TRUE(eventually([&] { return proxyOnB() == "libcut.so makeCut\n"; }, kJoin));

    ASSERT_TRUE(federation().network.cut(DeviceNetwork::B));
    EXPECT_TRUE(findsNothing(a(), "com.ex.CutB", kLeaseBound));
    EXPECT_TRUE(findsNothing(b(), "com.ex.CutA", kLeaseBound));
    EXPECT_EQ(proxyOnB(), "");
    EXPECT_EQ(found(b(), "com.ex.CutB"), "b_chan\n");  // its own entry stays

    ASSERT_TRUE(federation().network.heal(DeviceNetwork::B));
    EXPECT_TRUE(finds(a(), "com.ex.CutB", "b_chan@B"));
    EXPECT_TRUE(finds(b(), "com.ex.CutA", "a_chan@A"));
}

// B's daemon crashes and starts again at once, under the same name, before A's lease of the
// old one ran out: it is B again, and A takes its entries, journaled and new, once that lease
// is over.
TEST_F(InsecureFederation, DeviceStartedAgainUnderItsNameComesBack) {
    ASSERT_TRUE(registers(b(), "com.ex.Again", "again"));
    ASSERT_TRUE(finds(a(), "com.ex.Again", "again@B"));
    b().restart(SIGKILL);
    ASSERT_TRUE(b().serving()) << b().process().err();
    ASSERT_EQ(found(b(), "com.ex.Again"), "again\n");
    // Only the new B can publish this one.
    ASSERT_TRUE(registers(b(), "com.ex.AfterRestart", "after"));
    EXPECT_TRUE(finds(a(), "com.ex.AfterRestart", "after@B")) << a().process().err();
    EXPECT_TRUE(finds(a(), "com.ex.Again", "again@B"));
}

// B registers more than A takes from one device: A holds its limit of B's entries (those of the
// earlier tests among them) and says whose it refused.
TEST_F(InsecureFederation, DeviceFloodingBeyondItsLimitFillsOnlyItsShare) {
    std::string flood;
    for (std::size_t i = 0; i < 2 * kEntriesPerDevice; ++i) {
        flood += " com.ex.Flood" + std::to_string(i);
    }
    ASSERT_TRUE(registers(b(), flood.substr(1), "flood"));
    EXPECT_TRUE(a().logged("Refused an entry of device 'B': over the limit of entries (" +
                           std::to_string(kEntriesPerDevice) + " per device)"))
        << a().process().err();
    const ClientResult listed = a().client({"details"});
    EXPECT_EQ(occurrences(listed.out, "@B"), kEntriesPerDevice) << listed.out;
    EXPECT_EQ(found(b(), "com.ex.Flood39"), "flood\n");
}

}  // namespace
