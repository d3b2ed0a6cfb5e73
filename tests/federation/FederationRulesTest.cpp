// What the bridge decides on its own: the options it federates with, the configuration Cyclone
// gets from them, whose samples it takes, and which claim of a name holds it.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <string>

#include "DaemonUnderTest.h"
#include "DevicePartition.h"
#include "FederationOptions.h"
#include "NameClaim.h"
#include "ParticipantConfig.h"
#include "PeerTable.h"

namespace {

FederationOptions insecureOnLoopback() {
    FederationOptions options;
    options.interface = "lo";
    options.device = "board-1";
    options.insecure = true;
    return options;
}

}  // namespace

TEST(FederationOptions, RefusesWhatCannotFederate) {
    const TempDirectory security;
    const std::string& securityDir = security.path();
    for (const char* file : kSecurityFiles) {
        if (std::string(file) != "permissions.p7s") std::ofstream(securityDir + "/" + file) << file;
    }
    struct Case {
        const char* what;
        std::function<void(FederationOptions&)> change;
        const char* error;  // empty: accepted
    };
    const Case cases[] = {
        {"insecure, asked for", [](FederationOptions&) {}, ""},
        {"no security, not asked", [](FederationOptions& o) { o.insecure = false; },
         "--federation-insecure"},
        {"a security folder without a file",
         [&](FederationOptions& o) { o.securityDirectory = securityDir; },
         "holds no readable permissions.p7s"},
        {"63 characters", [](FederationOptions& o) { o.device.assign(63, 'a'); }, ""},
        {"64 characters", [](FederationOptions& o) { o.device.assign(64, 'a'); }, "is not 1 to 63"},
        {"a wildcard", [](FederationOptions& o) { o.device = "b*"; }, "is not 1 to 63"},
        {"an '@'", [](FederationOptions& o) { o.device = "a@b"; }, "is not 1 to 63"},
        {"domain 232", [](FederationOptions& o) { o.domain = 232; }, ""},
        {"domain 233", [](FederationOptions& o) { o.domain = 233; }, "--domain"},
        {"lease 0.1 s", [](FederationOptions& o) { o.lease = std::chrono::milliseconds(100); }, ""},
        {"lease 0.099 s", [](FederationOptions& o) { o.lease = std::chrono::milliseconds(99); },
         "--lease"},
        {"an empty peer",
         [](FederationOptions& o) {
             o.peers = {"10.0.0.1", ""};
         },
         "empty address"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FederationOptions options = insecureOnLoopback();
        c.change(options);
        const std::string error = federationOptionsError(options);
        EXPECT_EQ(error.empty(), *c.error == '\0') << error;
        EXPECT_TRUE(contains(error, c.error)) << error;
    }
    std::ofstream(securityDir + "/permissions.p7s") << "x";
    FederationOptions secure = insecureOnLoopback();
    secure.insecure = false;
    secure.securityDirectory = securityDir;
    EXPECT_EQ(federationOptionsError(secure), "");
    std::ofstream(securityDir + "/permissions_ca.pem") << "identity_ca.pem";
    secure.domain = 231;
    EXPECT_TRUE(contains(federationOptionsError(secure), "0 to 230 with"))
        << federationOptionsError(secure);
    secure.domain = 0;
    EXPECT_TRUE(contains(federationOptionsError(secure), "keep them apart"));
}

TEST(ParticipantConfig, CarriesInterfacePeersLeaseSecurityAndNoLingerOfWriters) {
    FederationOptions options = insecureOnLoopback();
    options.interface = "eth<0>";
    options.lease = std::chrono::milliseconds(1500);
    const std::string multicast = participantConfig(options, "/plugins");
    EXPECT_TRUE(contains(multicast, "<NetworkInterface name=\"eth&lt;0&gt;\"/>")) << multicast;
    EXPECT_TRUE(contains(multicast, "<AllowMulticast>true</AllowMulticast>")) << multicast;
    EXPECT_TRUE(contains(multicast, "<LeaseDuration>1500ms</LeaseDuration>")) << multicast;
    EXPECT_FALSE(contains(multicast, "<Peers>")) << multicast;
    EXPECT_FALSE(contains(multicast, "<Security>")) << multicast;
    // A writer deleted waits for no reader: one that never acknowledges held the bridge's
    // thread for a second at each writer of entries made anew.
    EXPECT_TRUE(contains(multicast, "<WriterLingerDuration>0s</WriterLingerDuration>"))
        << multicast;

    options.peers = {"10.77.0.1", "10.77.0.2"};
    options.securityDirectory = "/etc/sec";
    const std::string secure = participantConfig(options, "/plugins");
    EXPECT_TRUE(contains(secure, "<AllowMulticast>false</AllowMulticast>")) << secure;
    EXPECT_TRUE(contains(secure,
                         "<Peers><Peer address=\"10.77.0.1\"/><Peer address=\"10.77.0.2\"/>"
                         "</Peers>"))
        << secure;
    // The security plugins and files named: a wrong one, and the secure DeviceCalls suite's
    // devices never meet.
    EXPECT_TRUE(contains(secure, "<IdentityCA>file:/etc/sec/identity_ca.pem</IdentityCA>"))
        << secure;
}

TEST(DevicePartition, TakesOnlyWhatTheWritersPartitionNames) {
    struct Case {
        const char* claimed;
        std::vector<std::string> partitions;
        bool taken;
    };
    const Case cases[] = {
        {"b", {"svcreg.b"}, true},
        {"b", {"svcreg.c"}, false},  // a device speaking for another
        {"a", {"svcreg.a"}, false},  // this device's own name
        {"b", {"svcreg.b", "svcreg.c"}, false},
        {"b", {}, false},
        {"b", {"other.b"}, false},
        {"*", {"svcreg.*"}, false},  // a wildcard names no device
        {"", {"svcreg."}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.claimed) + " from " +
                     (c.partitions.empty() ? "none" : c.partitions[0]));
        EXPECT_EQ(writerSpeaksFor("a", c.claimed, c.partitions), c.taken);
    }
}

TEST(NameClaim, TheEarlierClaimHoldsTheName) {
    const NameClaim own{100, 5, 1};
    EXPECT_TRUE(keepsName(own, {}));
    EXPECT_TRUE(keepsName(own, {{101, 0, 2}, {100, 6, 3}}));
    EXPECT_FALSE(keepsName(own, {{101, 0, 2}, {99, 9, 3}}));  // started earlier
    EXPECT_FALSE(keepsName(own, {{100, 4, 2}}));              // same start, lower nonce

    PeerTable peers;
    EXPECT_FALSE(peers.mayPublish("b", 7));  // nobody claims b: its entries would outlive it
    ASSERT_TRUE(peers.announce("b", Claimant{{200, 1, 7}, 70, 2000, 3}, 1000));
    ASSERT_TRUE(peers.announce("b", Claimant{{100, 1, 8}, 80, 2000, 5}, 1001));
    EXPECT_TRUE(peers.mayPublish("b", 8));
    EXPECT_FALSE(peers.mayPublish("b", 7));
    std::vector<svcreg::PeerDevice> report = peers.report();
    ASSERT_EQ(report.size(), 1u);
    EXPECT_EQ(report[0].entries, 5u);  // the holder's
    EXPECT_TRUE(report[0].alive);
    EXPECT_EQ(report[0].lastHeardMs, 1001);

    // The holder's writer goes: its entries go, and the other claim holds.
    EXPECT_EQ(
        peers.forgetGone([](const std::string&, std::uint64_t writer) { return writer != 80; }),
        std::vector<std::string>{"b"});
    EXPECT_TRUE(peers.mayPublish("b", 7));
    EXPECT_TRUE(
        peers.forgetGone([](const std::string&, std::uint64_t writer) { return writer != 80; })
            .empty());
    EXPECT_EQ(peers.forgetGone([](const std::string&, std::uint64_t) { return false; }),
              std::vector<std::string>{"b"});
    EXPECT_FALSE(peers.mayPublish("b", 7));  // its claim went: what it writes still is refused
    report = peers.report();
    ASSERT_EQ(report.size(), 1u);
    EXPECT_FALSE(report[0].alive);
    EXPECT_EQ(report[0].entries, 0u);
}

TEST(PeerTable, BoundsTheClaimsOfOneName) {
    PeerTable peers;
    std::size_t taken = 0;
    while (taken < 100 && peers.announce("b", Claimant{{1, taken, taken}, taken, 2000, 0}, 0)) {
        ++taken;
    }
    EXPECT_EQ(taken, 8u);
    EXPECT_TRUE(peers.announce("b", Claimant{{1, 0, 0}, 0, 2000, 1}, 0));  // an update
}
