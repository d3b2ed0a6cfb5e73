// The daemon against bad peers: garbage, oversized frames and floods of what it logs; a second
// daemon for the same channel, and its own clean exit.
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "DaemonUnderTest.h"
#include "FrameCodec.h"
#include "UnixSocket.h"

using namespace svcreg;

namespace {

TEST(DaemonLifecycle, RefusesASecondDaemonAndExitsCleanlyOnSignal) {
    DaemonUnderTest daemon;
    ASSERT_TRUE(daemon.serving());

    TempDirectory outputs;
    // Its state elsewhere: the first's claim is not in its way, but its live socket is.
    ChildProcess second({SVCREGD_PATH, "--runtime-dir", daemon.runtimeDirectory(), "--state-dir",
                         daemon.runtimeDirectory() + "/.second", "--policy="},
                        outputs.path() + "/second");
    EXPECT_EQ(second.wait(), 1);
    EXPECT_NE(second.err().find("another process already serves this channel"), std::string::npos);
    ChildProcess misnamed({SVCREGD_PATH, "--policy", "/nonexistent.conf"}, outputs.path() + "/p");
    EXPECT_EQ(misnamed.wait(), 2);
    EXPECT_NE(misnamed.err().find("--policy names '/nonexistent.conf'"), std::string::npos);
    EXPECT_TRUE(daemon.serving());

    // A FIFO at a lock file's name is skipped by the sweep of stale files, which never waits.
    const std::string fifo = daemon.runtimeDirectory() + "/.planted.lock";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    daemon.restart(SIGTERM);
    EXPECT_TRUE(daemon.serving());
    EXPECT_TRUE(daemon.logged("Skipped '" + fifo + "' in the sweep"));

    daemon.process().signal(SIGTERM);
    EXPECT_EQ(daemon.process().wait(), 0);
    EXPECT_EQ(access(daemon.socketPath().c_str(), F_OK), -1);
}

// A peer sending garbage, or a header announcing one byte more than a frame may hold, is closed
// and logged. What a peer's requests make a verbose daemon log, its refusals included, is held to
// the rate of the log's lines about a peer: no peer can fill the disk through -v or its refused
// requests. Peers leaving inside a frame, and the daemon's own connections, are TransportTest's.
TEST(DaemonRobustness, BadPeersAreClosedAndAFloodIsLoggedAtTheRateOfLinesAboutAPeer) {
    DaemonUnderTest daemon({"-v", "--limit", "log-lines-per-peer=5"});
    std::string oversized = textFrame("", "").substr(0, kFrameHeaderSize);
    const std::uint32_t tooLong = kMaxFrameBodySize + 1;
    for (int i = 0; i < 4; ++i) oversized[4 + i] = static_cast<char>((tooLong >> (8 * i)) & 0xff);
    for (const std::string& bad : {std::string("GET / HTTP/1.1\r\n\r\n"), oversized}) {
        const UniqueFd badPeer(connectRaw(daemon.socketPath()));
        ASSERT_TRUE(sendAll(badPeer.get(), bad));
        EXPECT_TRUE(closedByPeer(badPeer.get()));
    }
    EXPECT_TRUE(daemon.logged("Malformed frame"));
    EXPECT_TRUE(daemon.logged("Frame over"));

    std::string manyNames;
    for (int i = 0; i < 1000; ++i)
        manyNames += (i == 0 ? "com.ex.N" : " com.ex.N") + std::to_string(i);
    std::string forNobody;
    for (int i = 0; i < 1000; ++i) {
        Frame frame;
        frame.destination = "nobody_ch";
        frame.data = "hello";
        appendEncodedFrame(frame, forNobody);
    }
    std::string lookups, refused;
    for (int i = 0; i < 1000; ++i) lookups += textFrame("find:com.ex.None,", "");
    for (int i = 0; i < 1000; ++i) refused += textFrame("reg:com.ex.\x1b,c", "");
    const struct {
        const char* what;
        std::string bytes;
    } floods[] = {
        {"1000 entries registered and removed",
         textFrame("reg:" + manyNames + ",c", "") + textFrame("dereg:" + manyNames + ",c", "")},
        {"1000 messages for a channel nobody serves", forNobody},
        {"1000 lookups of a name nobody registered", lookups},
        {"1000 registrations refused", refused},
    };
    const int fd = connectRaw(daemon.socketPath());
    for (const auto& flood : floods) {
        SCOPED_TRACE(flood.what);
        const std::size_t before = occurrences(daemon.process().err(), "\n");
        ASSERT_TRUE(sendAll(fd, flood.bytes));
        ASSERT_TRUE(barrier(fd));
        EXPECT_LT(occurrences(daemon.process().err(), "\n") - before, 50u)
            << daemon.process().err().substr(0, 2000);
    }
    close(fd);
}

}  // namespace
