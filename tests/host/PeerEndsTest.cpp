// The one watch of peers' ends, over a transport in this process and peers forked from it: each
// way a peer ends is told to the watches of its connection and of its process, once, and only
// to those it ends.
#include "PeerEnds.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>

#include <gtest/gtest.h>

#include "DaemonUnderTest.h"
#include "FrameCodec.h"
#include "Processes.h"
#include "RecordingHandler.h"
#include "Transport.h"

using namespace svcreg;

namespace {

// What the parent tells a peer to do.
constexpr char kCloseConnection = 'c';

// A child connected to the transport's socket under a private channel, doing what it is told
// over a pipe. Only system calls after the fork (connectRaw and sendAll make no others): the
// transport's threads run in the parent.
class Peer {
public:
    Peer(const std::string& socketPath, const std::string& privateChannel) {
        Frame frame;
        frame.destination = "server";
        frame.source = privateChannel;
        std::string bytes;
        appendEncodedFrame(frame, bytes);
        int commands[2];
        if (pipe(commands) != 0) return;
        pid = fork();
        if (pid == 0) {
            close(commands[1]);
            const int socket = connectRaw(socketPath);
            if (socket < 0 || !sendAll(socket, bytes)) _exit(1);
            char command = 0;
            while (read(commands[0], &command, 1) == 1 && command == kCloseConnection) {
                close(socket);
            }
            _exit(0);
        }
        close(commands[0]);
        orders = UniqueFd(commands[1]);
    }
    ~Peer() { end(SIGKILL); }

    void tell(char command) { ASSERT_EQ(write(orders.get(), &command, 1), 1); }
    void end(int signal) {
        if (pid <= 0) return;
        kill(pid, signal);
        waitpid(pid, nullptr, 0);
        pid = -1;
    }

    pid_t pid = -1;

private:
    UniqueFd orders;
};

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

    TempDirectory folder;
    RecordingHandler handler;
    Transport server{RuntimeDirectory(folder.path()), handler, 1, oneProcessPerUser()};
    PeerEnds& ends = server.peerEnds();
};

// How a peer ends, and which watches that ends: its connection's, and its process's as the
// connection names it and as its pid and start time do.
struct Ending {
    const char* how;
    std::function<void(Peer&, Transport&)> end;
    bool connectionEnds;
    bool processEnds;
    bool beforeTheWatch;  // the peer has ended, and been reaped, before it is watched
};

TEST_F(PeerEndsTest, EachWayAPeerEndsIsToldOnceToTheWatchesItEnds) {
    const Ending endings[] = {
        {"is killed", [](Peer& peer, Transport&) { kill(peer.pid, SIGKILL); }, true, true, false},
        {"closes its connection and lives on",
         [](Peer& peer, Transport&) { peer.tell(kCloseConnection); }, true, false, false},
        {"is hung up on while it lives",
         [](Peer&, Transport& transport) { transport.disconnect(":peer.0"); }, true, false, false},
        {"ends before the watch starts", [](Peer& peer, Transport&) { peer.end(SIGKILL); }, true,
         true, true},
    };
    for (const Ending& ending : endings) {
        SCOPED_TRACE(ending.how);
        Peer peer(folder.path() + "/server", ":peer.0");
        const std::shared_ptr<Connection> connection = handler.awaitConnection();
        ASSERT_NE(connection, nullptr);
        const pid_t pid = peer.pid;
        const std::string startTime = ProcessWatch::startTimeOf(pid);
        if (ending.beforeTheWatch) {
            ending.end(peer, server);
            ASSERT_TRUE(eventually([&] { return !ends.mayWatchPeer(":peer.0"); }));
        }
        std::atomic<int> connectionGone{0}, processOfGone{0}, processGone{0};
        const auto connectionEnds = [&] { ++connectionGone; };
        const auto processOfEnds = [&] { ++processOfGone; };
        const auto processEnds = [&] { ++processGone; };
        std::string why;
        const PeerEnds::WatchId watches[] = {
            ends.watchPeer(":peer.0", connectionEnds, why),
            ends.watchProcessOf(*connection, processOfEnds, why),
            ends.watchProcess(pid, startTime, getuid(), processEnds, why)};
        EXPECT_EQ(watches[0] == 0, ending.beforeTheWatch) << "a closed connection is no peer";
        EXPECT_NE(watches[1], 0u) << why;
        EXPECT_NE(watches[2], 0u) << why;
        if (!ending.beforeTheWatch) ending.end(peer, server);

        const int connectionTold = ending.connectionEnds && !ending.beforeTheWatch ? 1 : 0;
        const int processTold = ending.processEnds ? 1 : 0;
        EXPECT_TRUE(eventually([&] {
            return connectionGone == connectionTold && processOfGone == processTold &&
                   processGone == processTold;
        }));
        EXPECT_EQ(ends.stillWatching(watches[1]), !ending.processEnds);
        peer.end(SIGKILL);  // a process that lived on is told gone now, and only once
        EXPECT_TRUE(eventually([&] { return processOfGone == 1 && processGone == 1; }));
        EXPECT_EQ(connectionGone, connectionTold);
        for (const PeerEnds::WatchId watch : watches) EXPECT_FALSE(ends.stillWatching(watch));
    }
}

// A watched process that lives on is not told, and a cancelled watch never is. (A pid whose
// process started at another time is told at once: OwnerWatchTest's reused pid.)
TEST_F(PeerEndsTest, OnlyAWatchOfAProcessThatEndedIsTold) {
    std::atomic<int> sameGone{0}, cancelledGone{0};
    std::string why;
    const PeerEnds::WatchId same = ends.watchProcess(
        getpid(), ProcessWatch::startTimeOf(getpid()), getuid(), [&] { ++sameGone; }, why);
    ASSERT_NE(same, 0u) << why;

    Peer peer(folder.path() + "/server", ":peer.1");
    const PeerEnds::WatchId cancelled =
        ends.watchConnection(*handler.awaitConnection(), [&] { ++cancelledGone; });
    ASSERT_NE(cancelled, 0u);
    EXPECT_TRUE(ends.stillWatching(same));
    ends.unwatch(cancelled);
    ends.unwatch(same);
    peer.end(SIGKILL);
    EXPECT_TRUE(eventually([&] { return !ends.mayWatchPeer(":peer.1"); }));
    EXPECT_FALSE(ends.stillWatching(same));
    EXPECT_EQ(sameGone, 0);
    EXPECT_EQ(cancelledGone, 0);
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
