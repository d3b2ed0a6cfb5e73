// The policy file and the gate that applies it: what each peer may change, whose entries are
// whose, the quotas, and what a refused request gets.
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include "ChangeRate.h"
#include "LogCapture.h"
#include "LogLimiter.h"
#include "PipelineUnderTest.h"
#include "Processes.h"
#include "RegistryCallAnswers.h"
#include "RegistryViews.h"
#include "WorkTime.h"

using namespace svcreg;

namespace {

PeerCredentials peer(uid_t uid, std::vector<gid_t> groups = {}) {
    PeerCredentials credentials;
    credentials.pid = 42;
    credentials.uid = uid;
    credentials.gid = 65534;
    credentials.groups = std::move(groups);
    return credentials;
}

// A caller on another device, as its device vouches for it: no uid, gid or groups of this one.
PeerCredentials remote(const char* user, const char* device, uid_t uid = static_cast<uid_t>(-1),
                       std::vector<gid_t> groups = {}) {
    PeerCredentials credentials;
    credentials.pid = 0;
    credentials.uid = uid;
    credentials.groups = std::move(groups);
    credentials.user = user;
    credentials.device = device;
    return credentials;
}

TEST(AccessPolicy,
     ReadsRulesFromTheFileAndDropInsRefusesBadLinesAndDecidesForLocalAndRemoteCallers) {
    TempDirectory etc;
    const std::string file = etc.path() + "/policy.conf", dropIns = etc.path() + "/policy.d";
    const struct {
        std::string text;
        std::string error;  // empty: loads
        mode_t mode = 0644;
        uid_t owner = geteuid();
    } cases[] = {
        {"# nothing but a comment\n\n", ""},
        {"allow uid:7 register com.a.*  # trailing comment\nallow gid:100 subscribe\n", ""},
        {"deny * all\n", "policy.conf:1: expected 'allow WHO WHAT [PATTERN]'"},
        {"allow * all * extra\n", "policy.conf:1: expected"},
        {"\nallow * fly\n", "policy.conf:2: unknown permission 'fly'"},
        {"allow user:no-such-user-here all\n", "no such user or group 'user:no-such-user-here'"},
        {"allow uid:-1 all\n", "no such user or group 'uid:-1'"},
        {"allow device:A all\nallow user:alice@* subscribe\n", ""},
        {"allow device: register\n", "no device named in 'device:'"},
        {"allow device:a/b all\n", "'a/b' is not a device name"},
        {"allow user:@A all\n", "no user named in 'user:NAME@DEVICE'"},
        {"allow user:alice@ all\n", "no device named in 'user:NAME@DEVICE'"},
        // The trusted read of the launcher's declarations refuses one writable by others only.
        {"allow * all\n", "policy.conf' is writable by group or others: it is not read", 0664},
        {"allow * all\n", "policy.conf' belongs to uid 1001, neither root nor", 0644, 1001},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        std::ofstream(file) << c.text;
        ASSERT_EQ(chmod(file.c_str(), c.mode), 0);
        if (chown(file.c_str(), c.owner, static_cast<gid_t>(-1)) != 0) continue;  // not root
        AccessPolicy policy(static_cast<gid_t>(-1));
        std::string error;
        EXPECT_EQ(policy.load(file, dropIns, error), c.error.empty());
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }

    // Rules add up across the file and its drop-ins; without any file, the group's defaults.
    ASSERT_EQ(chown(file.c_str(), geteuid(), static_cast<gid_t>(-1)), 0);
    std::ofstream(file) << "allow uid:7 register com.a.*\n";
    ASSERT_EQ(mkdir(dropIns.c_str(), 0755), 0);
    std::ofstream(dropIns + "/20-more.conf") << "allow group:users deregister-any *\n";
    std::ofstream(dropIns + "/ignored.txt") << "not a rule\n";
    AccessPolicy loaded(kUsers), defaults(kUsers);
    std::string error;
    ASSERT_TRUE(loaded.load(file, dropIns, error)) << error;
    ASSERT_TRUE(defaults.load(etc.path() + "/absent.conf", etc.path() + "/absent.d", error));

    // Callers of other devices match only the rules naming their device or their user there,
    // with any permission; local rules, '*' among them, are never theirs, nor is root's or the
    // daemon's due, whatever uid their credentials hold; and theirs are never a local user's.
    const AccessPolicy devices = policyOf(
        "allow * register-creator\nallow group:users all\nallow device:A register com.a.*\n"
        "allow device:C subscribe\nallow user:alice@B all com.b.*\nallow user:bob@* deregister\n");
    using P = Permission;
    const struct {
        const AccessPolicy& policy;
        const char* what;
        PeerCredentials who;
        P asked;
        const char* ifc;
        bool permitted;
    } decisions[] = {
        {loaded, "the file's rule", peer(7), P::Register, "com.a.X", true},
        {loaded, "the file's rule, other pattern", peer(7), P::Register, "com.b.X", false},
        {loaded, "the file's rule, other permission", peer(7), P::Subscribe, "", false},
        {loaded, "a drop-in's rule", peer(8, {kUsers}), P::Deregister, "any", true},
        {loaded, "no defaults beside the file", peer(8, {kUsers}), P::Register, "com.a.X", false},
        {loaded, "root", peer(0), P::DeregisterAny, "any", true},
        {defaults, "members create", peer(8, {kUsers}), P::RegisterCreator, "any", true},
        {defaults, "members subscribe", peer(8, {kUsers}), P::Subscribe, "", true},
        {defaults, "members: their own only", peer(8, {kUsers}), P::DeregisterAny, "any", false},
        {defaults, "others nothing", peer(8), P::Register, "any", false},
        {devices, "device rule", remote("carol", "A"), P::Register, "com.a.X", true},
        {devices, "device rule, other ifc", remote("carol", "A"), P::Register, "com.b.X", false},
        {devices, "device rule, other permission", remote("carol", "A"), P::Subscribe, "", false},
        {devices, "device rule of subscribe", remote("carol", "C"), P::Subscribe, "", true},
        {devices, "user@device rule", remote("alice", "B"), P::DeregisterAny, "com.b.X", true},
        {devices, "user@device, other user", remote("carol", "B"), P::Register, "com.b.X", false},
        {devices, "user@device, other device", remote("alice", "A"), P::Register, "com.b.X", false},
        {devices, "user@* rule", remote("bob", "Z"), P::Deregister, "any", true},
        {devices, "'*' is local", remote("carol", "A"), P::RegisterCreator, "com.a.X", false},
        {devices, "no rule for the device", remote("carol", "D"), P::Register, "com.a.X", false},
        {devices, "a device's uid 0: no root", remote("root", "D", 0), P::Register, "x", false},
        {devices, "nor the daemon's", remote("svcreg", "D", geteuid()), P::Register, "x", false},
        {devices, "groups: local", remote("eve", "D", 1001, {kUsers}), P::Register, "x", false},
        {devices, "device rules are not local", peer(8), P::Subscribe, "", false},
        {devices, "'*' for local users", peer(8), P::RegisterCreator, "com.a.X", true},
    };
    for (const auto& d : decisions) {
        SCOPED_TRACE(d.what);
        EXPECT_EQ(d.policy.permits(d.who, d.asked, d.ifc), d.permitted);
    }
    // Only a device rule that grants register says what devices may publish.
    EXPECT_TRUE(devices.permitsDevice("A", "com.a.X"));
    EXPECT_FALSE(devices.permitsDevice("C", "com.a.X"));
    EXPECT_TRUE(policyOf("allow device:C subscribe\n").permitsDevice("B", "com.b.X"));
}

// Which registrations end with their callers, as the owner watch is told of them.
struct CallersWatched final : TableListener {
    void registered(const std::vector<ServiceRecord>&, const PeerCredentials*) override {}
    void removed(const std::vector<ServiceRecord>&, const PeerCredentials*) override {}
    std::string watchingCaller(ServiceId svcId, const RegistryChange&, IncomingCall&,
                               bool&) override {
        ids.push_back(svcId);
        return std::string();
    }
    std::vector<ServiceId> ids;
};

// A caller of another device may change only what a rule of its device or its user there allows,
// told so by name in the refusal and the log; its changes count against its device's share, which
// no other device's callers nor local users use; and what it registered, by text too, ends with
// its connection (it may not keep it), so that no restart brings it back, while its id stays used.
// Devices' accounts never meet: not those of two names alike in any hash, nor a local user's of
// a uid in the upper half of the range (nfsnobody's), whose entries a restart keeps.
TEST(RegistryGate, ACallerOfAnotherDeviceChangesOnlyWhatItsRulesAllowCountedPerDevice) {
    TempDirectory directory;
    const std::string journal = directory.path() + "/j";
    const AccessPolicy policy = policyOf(
        "allow device:A register com.a.*\nallow user:alice@B register\n"
        "allow device:B deregister\nallow group:users register\n"
        "allow group:users deregister\nallow device:dev484 register\n"
        "allow device:dev817840 deregister\n");
    // 31 bits of their names' FNV-1a hash are the same: found by hashing "dev0", "dev1"... until
    // two met.
    const PeerCredentials alike = remote("eve", "dev484"), alikeToo = remote("eve", "dev817840");
    const PeerCredentials nfsnobody = peer(4294967294u, {kUsers});
    RegistryQuotas quotas;
    quotas.entriesPerUser = 2;
    LogCapture log(2);
    LogLimiter::configure(100, std::chrono::seconds(30));
    {
        PipelineUnderTest served(journal, quotas);
        served.gate.replacePolicy(policy);
        EXPECT_TRUE(served.gate.admitsPeer(remote("alice", "A"), ""));
        CallersWatched watched;
        served.registry->addListener(&watched);
        CallFrom keeping(remote("alice", "A"), kKeepParameter);
        EXPECT_FALSE(served.registry->registerSvcInterface(&keeping, "com.a.K", "c"));
        const PeerCredentials local = peer(1001, {kUsers});
        const struct {
            PeerCredentials who;
            const char* text;
            const char* refusal;
        } steps[] = {
            {remote("alice", "A"), "reg:com.b.X,c",
             "user alice of device A may not register 'com.b.X'"},
            {remote("alice", "A"), "reg:com.a.X,c", ""},
            {remote("bob", "A"), "reg:com.a.Y,c", ""},
            {remote("bob", "A"), "reg:com.a.Z,c", "over the quota of entries (2 per user)"},
            {remote("alice", "B"), "reg:com.b.X,c", ""},  // B's share is B's
            {local, "reg:L,c", ""},
            {local, "reg:M,c", ""},  // the local user's share is theirs
            {remote("carol", "B"), "dereg:L,c",
             "interface 'L' at channel 'c' was registered by uid 1001"},
            {local, "dereg:com.a.X,c",
             "interface 'com.a.X' at channel 'c' was registered by a caller of another device"},
            {remote("alice", "B"), "reg:com.b.Z,c", ""},
            {alike, "reg:P,c", ""},
            {alikeToo, "dereg:P,c",
             "interface 'P' at channel 'c' was registered by a caller of another device"},
            {nfsnobody, "reg:O,c", ""},
        };
        for (const auto& step : steps) {
            SCOPED_TRACE(step.text);
            EXPECT_EQ(served.ask(step.who, step.text), step.refusal);
        }
        EXPECT_EQ(watched.ids, (std::vector<ServiceId>{1, 2, 3, 6, 7}));
        EXPECT_EQ(log.holding("Refused 'reg:com.b.X,c' from user alice of device A: user alice "
                              "of device A may not register 'com.b.X'"),
                  1u);
    }
    PipelineUnderTest restarted(journal, quotas);
    EXPECT_EQ(table(*restarted.registry), (std::vector<std::string>{"L/4/c", "M/5/c", "O/8/c"}));
    EXPECT_EQ(restarted.ask(peer(1001, {kUsers}), "dereg:L,c"), "");
    EXPECT_EQ(restarted.ask(peer(1001, {kUsers}), "reg:N,c"), "");
    EXPECT_EQ(table(*restarted.registry), (std::vector<std::string>{"M/5/c", "N/9/c", "O/8/c"}));
}

// Who may connect, and what becomes of each change asked by text: made (empty), or refused
// with the reason sent back and logged. Entries are their registrants'; the quotas refuse whole
// requests, per user and in total, and free what is given back.
TEST(RegistryGate, RefusesByPolicyOwnerAndQuotaWithTheReason) {
    RegistryQuotas quotas;
    quotas.entriesPerUser = 3;
    quotas.entries = 5;
    quotas.creatorsPerUser = 1;
    quotas.subscriptionsPerUser = 1;
    quotas.nameLength = 8;
    PipelineUnderTest served("", quotas);
    const PeerCredentials alice = peer(1001, {kUsers}), bob = peer(1002, {kUsers}), root = peer(0);
    LogCapture log(2);
    LogLimiter::configure(100, std::chrono::seconds(30));  // every refusal here is logged
    // Who may connect to the registry, and the lines of text refusals, are AccessTest's.
    EXPECT_TRUE(served.gate.admitsPeer(peer(1003), "a_service_channel"));  // one the daemon calls

    const std::string millionNames = "reg:" + std::string(1000000, ' ') + ",c";
    struct Step {
        const PeerCredentials& who;
        std::string text;
        std::string refusal;
    };
    const Step steps[] = {
        {alice, "reg:A B C D,c", "names 4 interfaces, more than the 3 one user may register"},
        {alice, "reg:A B,c", ""},
        {bob, "reg:A,c", ""},
        {bob, "dereg:B,c", "interface 'B' at channel 'c' was registered by uid 1001"},
        {alice, "dereg:A,c", "interface 'A' at channel 'c' was registered by uid 1002"},
        {alice, "reg:\xc3\xa9\xe2\x82\xac\xe9,d", ""},  // other characters are names' own
        {root, "dereg:A,d@B", "remote entries are read-only here: d@B belongs to device B"},
        {alice, "reg:A,d@B", "a channel name with '@' names another device's channel"},
        {bob, "reg:F,c", ""},
        {bob, "reg:H,c", "over the quota of entries (5 in total)"},
        {root, "dereg:A,c", ""},  // both users' entries of A at c, given back to each
        {bob, "reg:H,c", ""},
        {alice, millionNames, "names 1000001 interfaces, more than the 3 one user may register"},
        {alice, "reg:NineBytes,c", "a name of 9 bytes, over the limit of 8"},
        {alice, "reg:A,NineBytes", "a name of 9 bytes, over the limit of 8"},
        {alice, "reg:A\tB,c",
         "a name holding a control character (byte 0x09), which names may not"},
        {alice, "reg:A,c\n", "a name holding a control character (byte 0x0a), which names may not"},
        {alice, "reg:A(B),c",
         "a name holding '(', which the text replies would read as a separator"},
        {alice, "reg_proxy:l\x7f,g,I,p",
         "a name holding a control character (byte 0x7f), which names may not"},
        // C1 ones too, in UTF-8 or as a lone byte.
        {alice,
         "reg:A\xc2\x9b"
         "2J,c",
         "a name holding a control character (bytes 0xc2 0x9b), which names may not"},
        {alice, "reg:A\x9b,c",
         "a name holding a control character (byte 0x9b), which names may not"},
        {alice, "reg_invoker:l,f,I,binary", ""},
        {alice, "reg_invoker:l,f,I,binary", ""},  // the same creator again: counted once
        {alice, "reg_proxy:l,g,I,binary", "over the quota of creators (1 per user)"},
        {bob, "reg_proxy:l,g,I,binary", ""},
    };
    // At a channel a process of hers serves, her entries are hers to take back, whoever
    // registered the same names there.
    EXPECT_EQ(served.ask(alice, "reg:S,s") + served.ask(bob, "reg:S,s"), "");
    served.registry->markServed("s", 1001);
    EXPECT_EQ(served.ask(alice, "dereg:S,s"), "");
    for (const Step& step : steps) {
        SCOPED_TRACE(step.text.substr(0, 30));
        EXPECT_EQ(served.ask(step.who, step.text), step.refusal);
    }
    // A change asked by a method call is logged by the method's name.
    CallFrom fromAlice(alice);
    served.registry->apply(RegistryChange::entries(RegistryChange::Kind::Deregister, "H", "c",
                                                   "deregisterSvcInterfaces"),
                           &fromAlice);
    EXPECT_EQ(log.holding("Refused 'deregisterSvcInterfaces(H)' from pid 42 uid 1001 gid 65534: "
                          "interface 'H' at channel 'c' was registered by uid 1002"),
              1u);

    // Made when its process could make it: one that could not holds no place.
    const auto subscribeFrom = [&](const PeerCredentials& who, const std::string& channel,
                                   bool processMade = true) {
        CallFrom call(who);
        return served.registry
            ->subscribe(RegistryChange::subscription(channel, "subscribeStartupEvents"), &call,
                        [&] { return processMade; })
            .made;
    };
    EXPECT_TRUE(subscribeFrom(alice, "one"));
    EXPECT_TRUE(subscribeFrom(alice, "one"));  // one proxy per channel: counted once
    EXPECT_FALSE(subscribeFrom(alice, "two"));
    EXPECT_FALSE(subscribeFrom(bob, ""));  // nowhere to announce to
    EXPECT_TRUE(subscribeFrom(bob, "two"));
    served.registry->subscriberGone(kObserverSubscription, "one");
    EXPECT_TRUE(subscribeFrom(alice, "three"));
    EXPECT_FALSE(subscribeFrom(peer(1004, {kUsers}), "four", false));
    EXPECT_EQ(served.registry->subscriberCount(), 2u);

    // One whose check took over a second (finding who serves its channel reads every file lock
    // of the system, as many as anyone holds) leaves its user no time for the next a while,
    // refused or not.
    const auto carolsAt = [&](const std::string& channel, std::chrono::milliseconds taking,
                              bool owned) {
        CallFrom call(peer(1005, {kUsers}));
        call.owns = [&] {
            std::this_thread::sleep_for(taking);
            return owned;
        };
        return served.registry
            ->subscribe(RegistryChange::subscription(channel, "subscribeStartupEvents"), &call,
                        [] { return true; })
            .refusal;
    };
    EXPECT_THAT(carolsAt("five", std::chrono::milliseconds(1100), false),
                testing::StartsWith("channel 'five' is not the caller's own"));
    EXPECT_EQ(carolsAt("six", std::chrono::milliseconds(0), true), WorkTime::refusal());
    CallFrom ending(peer(1005, {kUsers}));
    ending.owns = [] {
        ADD_FAILURE() << "an unsubscription with no time left looks at nothing";
        return true;
    };
    EXPECT_FALSE(served.registry->mayUnsubscribe(ending, "one", "unsubscribeStartupEvents"));
    EXPECT_EQ(ending.refused, WorkTime::refusal());
    EXPECT_TRUE(subscribeFrom(peer(1006, {kUsers}), "six"));
}

// A user's changes pass in a burst of ten seconds' worth, then at the rate, each user with a
// bucket of their own, by their count and by their bytes; through the pipeline, only changes
// made count, and root is not held to it. The bytes of the table's listing are a quota too, and
// the bytes of whole-table answers a rate.
TEST(ChangeRate, LetsABurstThroughThenTheRateForEachUser) {
    using namespace std::chrono_literals;
    using Verdict = ChangeRate::Verdict;
    ChangeRate rate(2, 1000);
    const auto start = ChangeRate::Clock::now();
    int made = 0;
    for (; made < 100 && rate.judge(1001, 1, start) == Verdict::Allowed; ++made) {
        rate.took(1001, 1, start);
    }
    EXPECT_EQ(made, 20);
    EXPECT_EQ(rate.judge(1002, 1, start), Verdict::Allowed);
    EXPECT_EQ(rate.judge(1001, 1, start + 400ms), Verdict::OverChanges);
    EXPECT_EQ(rate.judge(1001, 1, start + 500ms), Verdict::Allowed);
    // Bytes: ten seconds' worth at once, then a change waits for its bytes to come.
    rate.took(1003, 9000, start);
    EXPECT_EQ(rate.judge(1003, 1001, start), Verdict::OverBytes);
    EXPECT_EQ(rate.judge(1003, 1001, start + 1s), Verdict::Allowed);
    EXPECT_EQ(rate.judge(1003, 10001, start + 60s), Verdict::OverBytes);

    RegistryQuotas quotas;
    quotas.changesPerUserPerSecond = 1;
    quotas.changeBytesPerUserPerSecond = 40;
    quotas.tableBytesPerUser = 40;
    quotas.listedBytesPerUserPerSecond = 1;
    PipelineUnderTest served("", quotas);
    const PeerCredentials alice = peer(1001, {kUsers}), root = peer(0);
    EXPECT_EQ(served.ask(alice, "reg:AAAA,c"), "");  // 4 + 1 + 16 bytes of the table's listing
    EXPECT_EQ(served.ask(alice, "reg:BBBB,c"), "over the quota of table bytes (40 per user)");
    EXPECT_EQ(served.ask(alice, "reg:" + std::string(300, 'x') + ",c"),
              "a name of 300 bytes, over the limit of 255");
    EXPECT_EQ(served.ask(alice, "dereg:" + std::string(400, 'x') + ",c"),  // 395 bytes left
              "over the rate of change bytes (40 a second per user, 400 at once)");
    for (int i = 0; i < 9; ++i) EXPECT_EQ(served.ask(alice, "dereg:A,c"), "") << i;
    EXPECT_EQ(served.ask(alice, "dereg:A,c"),
              "over the rate of changes (1 a second per user, 10 at once)");
    EXPECT_EQ(served.ask(root, "dereg:A,c"), "");
    // A whole-table answer takes the table's 21 bytes from its user's ten: the next waits.
    CallFrom alicesListing(alice), bobsListing(peer(1002, {kUsers})), rootsListing(root);
    EXPECT_TRUE(served.registry->mayList(alicesListing, "list"));
    EXPECT_FALSE(served.registry->mayList(alicesListing, "list"));
    EXPECT_EQ(alicesListing.refused,
              "over the rate of listed bytes (1 a second per user, 10 at once)");
    EXPECT_TRUE(served.registry->mayList(bobsListing, "list"));
    EXPECT_TRUE(served.registry->mayList(rootsListing, "list") &&
                served.registry->mayList(rootsListing, "list"));
}

}  // namespace
