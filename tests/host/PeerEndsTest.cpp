// The one watch of peers' ends, over a transport in this process and peers forked from it: each
// way a peer ends is told to the watches of its connection and of its process, once, and only
// to those it ends.
#include "PeerEnds.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "DaemonUnderTest.h"
#include "FrameCodec.h"
#include "LockHolder.h"
#include "Processes.h"
#include "RecordingHandler.h"
#include "Transport.h"

using namespace svcreg;

namespace {

// The descriptor the forked peer keeps its socket at too, where this process can take it.
constexpr int kPeerSocket = 100;

// Ends the peer's connection from the peer's side while the peer lives on: shuts its socket
// down, through a copy taken from it with a pidfd.
void shutDownPeersSocket(pid_t pid) {
    const UniqueFd socket(descriptorOf(pid, kPeerSocket));
    ASSERT_TRUE(socket.valid()) << std::strerror(errno);
    ASSERT_EQ(shutdown(socket.get(), SHUT_RDWR), 0) << std::strerror(errno);
}

ConnectionLimits oneProcessPerUser() {
    ConnectionLimits limits;
    limits.watchedProcessesPerUser = 1;
    return limits;
}

class PeerEndsTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(server.listen("server", error)) << error;
        ASSERT_TRUE(server.start(error)) << error;
    }

    // A child connected to the server under private channel ":peer.0" until it is killed. Only
    // system calls after the fork (connectRaw and sendAll make no others): the transport's
    // threads run in this process.
    std::unique_ptr<ForkedProcess> connectedPeer() {
        Frame frame;
        frame.destination = "server";
        frame.source = ":peer.0";
        std::string bytes;
        appendEncodedFrame(frame, bytes);
        const std::string socketPath = folder.path() + "/server";
        return std::make_unique<ForkedProcess>([&] {
            const int socket = connectRaw(socketPath);
            return socket >= 0 && dup2(socket, kPeerSocket) == kPeerSocket &&
                   sendAll(socket, bytes);
        });
    }

    TempDirectory folder;
    RecordingHandler handler;
    Transport server{RuntimeDirectory(folder.path()), handler, 1, oneProcessPerUser()};
    PeerEnds& ends = server.peerEnds();
};

// How a peer ends; its connection's watch is told each time, but not when it ended before the
// watch (a closed connection is no peer). Its process's watch, as the connection names it and
// as its pid and start time do, only when the process ends.
struct Ending {
    const char* how;
    std::function<void(ForkedProcess&, Transport&)> end;
    bool processEnds;
    bool beforeTheWatch;  // the peer has ended, and been reaped, before it is watched
};

TEST_F(PeerEndsTest, EachWayAPeerEndsIsToldOnceToTheWatchesItEndsAndNoneCancelled) {
    const Ending endings[] = {
        {"is killed", [](ForkedProcess& peer, Transport&) { kill(peer.pid, SIGKILL); }, true,
         false},
        {"closes its connection and lives on",
         [](ForkedProcess& peer, Transport&) { shutDownPeersSocket(peer.pid); }, false, false},
        {"is hung up on while it lives",
         [](ForkedProcess&, Transport& transport) { transport.disconnect(":peer.0"); }, false,
         false},
        {"ends before the watch starts", [](ForkedProcess& peer, Transport&) { peer.kill(); }, true,
         true},
    };
    for (const Ending& ending : endings) {
        SCOPED_TRACE(ending.how);
        const std::unique_ptr<ForkedProcess> peer = connectedPeer();
        ASSERT_TRUE(peer->started);
        const std::shared_ptr<Connection> connection = handler.awaitConnection();
        ASSERT_NE(connection, nullptr);
        const pid_t pid = peer->pid;
        const std::string startTime = ProcessWatch::startTimeOf(pid);
        if (ending.beforeTheWatch) {
            ending.end(*peer, server);
            ASSERT_TRUE(eventually([&] { return !ends.mayWatchPeer(":peer.0"); }));
        }
        std::atomic<int> connectionGone{0}, processOfGone{0}, processGone{0}, cancelledGone{0};
        const auto connectionEnds = [&] { ++connectionGone; };
        const auto processOfEnds = [&] { ++processOfGone; };
        const auto processEnds = [&] { ++processGone; };
        std::string why;
        const auto cancelledEnds = [&] { ++cancelledGone; };
        if (!ending.beforeTheWatch) {  // else they may be told at once, before unwatch
            for (const PeerEnds::WatchId cancelled :
                 {ends.watchConnection(*connection, cancelledEnds),
                  ends.watchProcess(pid, startTime, getuid(), cancelledEnds, why)}) {
                ASSERT_NE(cancelled, 0u) << why;
                EXPECT_TRUE(ends.stillWatching(cancelled));
                ends.unwatch(cancelled);
                EXPECT_FALSE(ends.stillWatching(cancelled));
            }
        }
        const PeerEnds::WatchId watches[] = {
            ends.watchPeer(":peer.0", connectionEnds, why),
            ends.watchProcessOf(*connection, processOfEnds, why),
            ends.watchProcess(pid, startTime, getuid(), processEnds, why)};
        EXPECT_EQ(watches[0] == 0, ending.beforeTheWatch);
        EXPECT_NE(watches[1], 0u) << why;
        EXPECT_NE(watches[2], 0u) << why;
        if (!ending.beforeTheWatch) ending.end(*peer, server);

        const int connectionTold = ending.beforeTheWatch ? 0 : 1;
        const int processTold = ending.processEnds ? 1 : 0;
        EXPECT_TRUE(eventually([&] {
            return connectionGone == connectionTold && processOfGone == processTold &&
                   processGone == processTold;
        }));
        EXPECT_EQ(ends.stillWatching(watches[1]), !ending.processEnds);
        EXPECT_EQ(ends.stillWatching(watches[2]), !ending.processEnds);
        peer->kill();  // a process that lived on is told gone now, and only once
        EXPECT_TRUE(eventually([&] { return processOfGone == 1 && processGone == 1; }));
        EXPECT_EQ(connectionGone, connectionTold);
        EXPECT_EQ(cancelledGone, 0);
        for (const PeerEnds::WatchId watch : watches) EXPECT_FALSE(ends.stillWatching(watch));
    }
}
// A served channel's peer is the process holding its claim; a channel nobody serves has none.
// Each user has a share of the processes watched, however many watch each, given back when one
// ends.
TEST_F(PeerEndsTest, AServedChannelsPeerIsItsClaimsHolderWithinItsUsersShare) {
    const auto first = claimInChild(folder.path(), "first");
    const auto second = claimInChild(folder.path(), "second");
    ASSERT_TRUE(first->started && second->started);
    std::atomic<int> firstGone{0};
    const auto firstEnds = [&] { ++firstGone; };
    const auto unheard = [] {};
    std::string why;
    EXPECT_EQ(ends.watchPeer("nobody_serves", unheard, why), 0u);
    EXPECT_EQ(why, "");
    pid_t watched = 0;
    ASSERT_NE(ends.watchPeer("first", firstEnds, why, &watched), 0u) << why;
    EXPECT_EQ(watched, first->pid);
    ASSERT_NE(ends.watchPeer("first", firstEnds, why), 0u) << "counted once";
    EXPECT_EQ(ends.watchPeer("second", unheard, why), 0u);
    EXPECT_NE(why.find("at their share (1 per user)"), std::string::npos) << why;

    first->kill();
    EXPECT_TRUE(eventually([&] { return firstGone == 2; }));
    why.clear();
    EXPECT_NE(ends.watchPeer("second", unheard, why), 0u) << why;  // the place came back
}

// Any user can make the kernel's table of file locks long, and reading it whole costs seconds
// (20 s for 200,000 locks): a claim's holder is looked for in its first MiB only, and one not
// found there is unknown, not absent.
TEST(LockHolder, IsLookedForInTheFirstMebibyteOfTheTableOnly) {
    // 42 bytes a line with its number: 24,966 lines make a MiB.
    const std::string other = ": POSIX  ADVISORY  WRITE 77 fe:00:9 0 0\n";
    const std::string holder = "1: FLOCK  ADVISORY  WRITE 4242 08:02:131090 0 EOF\n";
    const struct {
        int linesBefore;
        bool held;
        pid_t found;
    } cases[] = {{0, true, 4242},
                 {24000, true, 4242},
                 {26000, true, kHolderUnknown},
                 {24000, false, 0},
                 {26000, false, kHolderUnknown}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.linesBefore) + " lines before");
        std::string table;
        for (int line = 0; line < c.linesBefore; ++line) table += std::to_string(line % 10) + other;
        std::istringstream locks(table + (c.held ? holder : other));
        EXPECT_EQ(flockHolder(locks, makedev(8, 2), 131090), c.found);
    }
}

// A socket of the caller's own ends when its peer hangs up, before the watch too, whatever
// becomes of the caller's own copy; a watch cancelled before the hang-up is never told.
TEST_F(PeerEndsTest, ASocketOfTheCallersEndsWhenItsPeerHangsUp) {
    for (const bool hungUpBefore : {false, true}) {
        SCOPED_TRACE(hungUpBefore ? "hung up before the watch" : "hung up while watched");
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
        UniqueFd mine(pair[0]), theirs(pair[1]);
        if (hungUpBefore) theirs = UniqueFd();
        std::atomic<int> gone{0}, cancelledGone{0};
        const auto cancelledEnds = [&] { ++cancelledGone; };
        const auto hungUp = [&] { ++gone; };
        std::string why;
        ends.unwatch(ends.watchHangUp(mine.get(), cancelledEnds, why));
        const PeerEnds::WatchId watch = ends.watchHangUp(mine.get(), hungUp, why);
        ASSERT_NE(watch, 0u) << why;
        mine = UniqueFd();
        theirs = UniqueFd();
        EXPECT_TRUE(eventually([&] { return gone == 1; }));
        EXPECT_FALSE(ends.stillWatching(watch));
        // A socket hung up before its watch may be told at once, before the watch is cancelled
        // (unwatch says so); the loop that tells it has done so by the time it told the second.
        if (!hungUpBefore) {
            EXPECT_EQ(cancelledGone, 0);
        }
    }
}

}  // namespace
