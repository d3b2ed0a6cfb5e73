// The daemon against bad peers: garbage, oversized frames, callers that leave mid-request and
// connections that come and go; a second daemon for the same channel, and its own clean exit.
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "DaemonUnderTest.h"
#include "FrameCodec.h"
#include "Method.h"

using namespace svcreg;

namespace {

TEST(DaemonRobustness, BadPeersAndPeersLeavingMidFrameHurtNobodyAndLeaveNoDescriptor) {
    DaemonUnderTest daemon;
    ASSERT_EQ(daemon.client({"reg", "com.ex.Kept", "kept_ch"}).exitCode, 0);
    const pid_t pid = daemon.process().pid();
    const int before = openDescriptors(pid);

    // Garbage, and a header announcing one byte more than a frame may hold: closed and logged.
    std::string oversized = textFrame("", "").substr(0, kFrameHeaderSize);
    const std::uint32_t tooLong = kMaxFrameBodySize + 1;
    for (int i = 0; i < 4; ++i) oversized[4 + i] = static_cast<char>((tooLong >> (8 * i)) & 0xff);
    for (const std::string& bad : {std::string("GET / HTTP/1.1\r\n\r\n"), oversized}) {
        const int fd = connectRaw(daemon.socketPath());
        ASSERT_TRUE(sendAll(fd, bad));
        EXPECT_TRUE(closedByPeer(fd));
        close(fd);
    }
    EXPECT_TRUE(daemon.logged("Malformed frame"));
    EXPECT_TRUE(daemon.logged("Frame over"));
    // Unfinished frames past their budget are the transport's test.

    // Callers, all connected at once, send a kept registration and then a lookup from a channel of
    // their own, to be answered on a channel nobody serves; every second one leaves inside the
    // lookup.
    Method request("registerSvcInterface", Method::REQUEST);
    request.addStringParameter("ifc", "com.ex.Orphan", Parameter::IN);
    request.addStringParameter("chanName", "orphan_ch", Parameter::IN);
    request.addBoolParameter("keep", true, Parameter::IN);  // no watch of this process to count
    const std::string whole =
        callFrame(request, std::string()) + textFrame("find:com.ex.Kept,nobody_ch", "long_gone");
    std::vector<int> callers;
    for (int i = 0; i < 100; ++i) callers.push_back(connectRaw(daemon.socketPath()));
    for (int i = 0; i < 100; ++i) {
        const std::size_t cut = i % 2 == 0 ? whole.size() : whole.size() - 5;
        ASSERT_TRUE(sendAll(callers[i], whole.substr(0, cut)));
    }
    for (const int fd : callers) close(fd);
    // What arrived whole is handled: every caller's registration is made.
    EXPECT_TRUE(eventually(
        [&] { return occurrences(daemon.client({"details"}).out, "com.ex.Orphan\t") == 100; }));
    // Each client is answered on a channel of its own, through a connection the daemon opens.
    for (int i = 0; i < 10; ++i) EXPECT_EQ(daemon.client({"find", "com.ex.Kept"}).out, "kept_ch\n");
    // At most: the first client's connection may still have been open when they were counted.
    EXPECT_TRUE(eventually([&] { return openDescriptors(pid) <= before; }))
        << openDescriptors(pid) << " descriptors open, " << before << " before";
}

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

// What a peer's requests make a verbose daemon log, its refusals included, is held to the rate of
// the log's lines about a peer: no peer can fill the disk through -v or its refused requests.
TEST(DaemonRobustness, AVerboseDaemonLogsAPeersFloodAtTheRateOfLinesAboutAPeer) {
    DaemonUnderTest daemon({"-v", "--limit", "log-lines-per-peer=5"});
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
