// The owners of the registry's entries, in this process over a framework of its own, with
// processes forked from it as the owners: what becomes of entries when their owner ends.
#include "OwnerWatch.h"

#include <unistd.h>

#include <algorithm>
#include <mutex>

#include <gtest/gtest.h>

#include "CallFrom.h"
#include "DaemonUnderTest.h"
#include "EventLoops.h"
#include "ProcessWatch.h"
#include "Processes.h"

using namespace svcreg;

namespace {

// What the watch told, as text: "served chan", "gone chan", "registrant 7". What a look found
// is told with " on a loop" when told on an event loop, which a look (a read of the kernel's table
// of file locks, as long as anyone makes it) would hold up.
class ToldEvents {
public:
    OwnerWatch::Events events() {
        return {
            [this](const std::string& channel, uid_t, bool) { add("served " + channel + at()); },
            [this](const std::string& channel) { add("gone " + channel); },
            [this](ServiceId svcId) { add("registrant " + std::to_string(svcId) + at()); }};
    }
    std::vector<std::string> seen() {
        std::lock_guard<std::mutex> hold(mutex);
        return told;
    }

private:
    static std::string at() { return EventLoops::onLoopThread() ? " on a loop" : ""; }
    void add(std::string event) {
        std::lock_guard<std::mutex> hold(mutex);
        told.push_back(std::move(event));
    }

    std::mutex mutex;
    std::vector<std::string> told;
};

class OwnerWatchTest : public ::testing::Test {
protected:
    void SetUp() override {
        const Outcome started = framework.start();
        ASSERT_TRUE(started) << started.reason();
    }
    // The event loops stop before the watch and what it tells go: a process that ends as a test
    // does (its server, killed) is told on a loop meanwhile.
    void TearDown() override { framework.stop(); }

    TempDirectory folder;
    HostFramework framework{hostOptionsIn(folder.path())};
    ToldEvents told;
    OwnerWatch owners{framework, "registry", told.events()};
};

// A child that waits to be killed; its pid and start time name it for good.
struct Registrant {
    ForkedProcess process{[] { return true; }};
    std::vector<std::string> caller{std::to_string(process.pid),
                                    ProcessWatch::startTimeOf(process.pid)};
};

// A registration journaled with its caller is watched again after a restart; that it goes with
// its caller, one that ended meanwhile too, is the daemon's liveness test. Here: a caller whose
// pid another process has now is taken for ended at once, and once its entries are all removed a
// caller owns nothing.
TEST_F(OwnerWatchTest, ARegistrationWatchedAgainGoesWithItsCallerOnly) {
    Registrant reused, removed;
    ASSERT_TRUE(reused.process.started && removed.process.started);
    const ServiceRecord reusedEntry{"ifc", 1, "chan"}, removedEntry{"ifc", 2, "chan"};
    owners.watchAgain(1, "chan", 1, {reused.caller[0], reused.caller[1] + "0"}, getuid());
    EXPECT_TRUE(
        eventually([&] { return told.seen() == std::vector<std::string>{"registrant 1"}; }));
    EXPECT_EQ(owners.processOf(reusedEntry), 0);

    owners.watchAgain(2, "chan", 1, removed.caller, getuid());
    EXPECT_EQ(owners.processOf(removedEntry), removed.process.pid);
    owners.removed({removedEntry}, nullptr);
    EXPECT_EQ(owners.processOf(removedEntry), 0) << "no longer its caller's to take along";
}

// A channel's entries are the process's that holds its claim: served while it runs, gone when
// it ends; a channel known served before and nobody's now is gone at once.
TEST_F(OwnerWatchTest, AServedChannelIsItsClaimsHoldersUntilItEnds) {
    const std::unique_ptr<ForkedProcess> server = claimInChild(folder.path(), "served");
    ASSERT_TRUE(server->started);
    owners.look("served");
    owners.look("left", true);
    owners.look("registry", true);  // the registry's own: never looked into
    EXPECT_TRUE(eventually([&] { return told.seen().size() == 2; }));
    EXPECT_EQ(owners.processOf({"ifc", 1, "served"}), server->pid);
    server->kill();
    EXPECT_TRUE(eventually([&] { return told.seen().size() == 3; }));
    std::vector<std::string> seen = told.seen();
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, (std::vector<std::string>{"gone left", "gone served", "served served"}));
    EXPECT_EQ(owners.processOf({"ifc", 1, "served"}), 0);
}

// A registration refused once its caller was watched leaves nothing of that watch: the caller's
// end, told late, takes nothing of the next registration, which gets the id refused.
TEST_F(OwnerWatchTest, ACallersEndToldLateTakesNothingOfTheNextRegistration) {
    PeerCredentials peer;
    peer.pid = getpid();
    peer.uid = getuid();
    CallFrom refused(peer), made(peer);
    refused.watchable = made.watchable = true;
    const RegistryChange change =
        RegistryChange::entries(RegistryChange::Kind::Register, "ifc", "chan", "register");
    bool watched = false;
    ASSERT_EQ(owners.watchingCaller(7, change, refused, watched), "");
    owners.callerNotRegistered(7);
    ASSERT_EQ(owners.watchingCaller(7, change, made, watched), "");
    refused.ended();
    owners.look("nobody's", true);  // in the same user's turn, after what the end asked for
    EXPECT_TRUE(eventually([&] {
        const std::vector<std::string> seen = told.seen();
        return std::find(seen.begin(), seen.end(), "gone nobody's") != seen.end();
    }));
    EXPECT_EQ(told.seen(), std::vector<std::string>{"gone nobody's"});
    EXPECT_EQ(owners.processOf({"ifc", 7, "chan"}), getpid());
}

// A registration's entries are the process's that serves their channel once their registrant
// ends, when it is of the registrant's user; another user's is handed none.
TEST_F(OwnerWatchTest, ARegistrantsEntriesGoToNoOtherUsersProcessServingTheirChannel) {
    const std::unique_ptr<ForkedProcess> server = claimInChild(folder.path(), "chan");
    ASSERT_TRUE(server->started);
    owners.look("chan");
    Registrant registrant;  // of another user than the server, the lock file's owner
    ASSERT_TRUE(registrant.process.started);
    owners.watchAgain(1, "chan", 1, registrant.caller, getuid() + 1);
    EXPECT_TRUE(eventually([&] { return owners.processOf({"ifc", 1, "chan"}) == server->pid; }));
    registrant.process.kill();
    EXPECT_TRUE(eventually([&] {
        const std::vector<std::string> seen = told.seen();
        return std::count(seen.begin(), seen.end(), "registrant 1") == 1;
    }));
}

}  // namespace
