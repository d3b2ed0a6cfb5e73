// The daemon against bad peers: garbage, oversized frames and floods of what it logs, churning
// registrations beside a peer that never reads; a second daemon for the same channel, and its own
// clean exit; the libraries a daemon that does not federate maps.
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ChannelClaim.h"
#include "DaemonUnderTest.h"
#include "FrameCodec.h"
#include "Method.h"
#include "UnixSocket.h"

using namespace svcreg;

namespace {

// The federation is a plug-in the daemon loads only to federate: one that does not maps neither
// it nor Cyclone DDS nor OpenSSL.
TEST(DaemonLifecycle, MapsNoLibraryOfTheFederationRefusesASecondDaemonAndExitsCleanlyOnSignal) {
    DaemonUnderTest daemon;
    ASSERT_TRUE(daemon.serving());
    const std::string maps = readFile("/proc/" + std::to_string(daemon.process().pid()) + "/maps");
    for (const char* library : {"libsvcreg-federation", "libddsc", "libssl", "libcrypto"}) {
        EXPECT_FALSE(contains(maps, library)) << library;
    }

    TempDirectory outputs;
    // Its state elsewhere: the first's claim is not in its way, but its live socket is.
    ChildProcess second({SVCREGD_PATH, "--runtime-dir", daemon.runtimeDirectory(), "--state-dir",
                         daemon.runtimeDirectory() + "/.second", "--policy="},
                        outputs.path() + "/second");
    EXPECT_EQ(second.wait(), 1);
    EXPECT_TRUE(contains(second.err(), "another process already serves this channel"));
    ChildProcess misnamed({SVCREGD_PATH, "--policy", "/nonexistent.conf"}, outputs.path() + "/p");
    EXPECT_EQ(misnamed.wait(), 2);
    EXPECT_TRUE(contains(misnamed.err(), "--policy names '/nonexistent.conf'"));
    EXPECT_TRUE(daemon.serving());

    // (A FIFO at a lock file's name, which the sweep of stale files skips, is Access's.)
    // Its socket stays, the channel's name its user's while it is stopped: a member's file put
    // there would keep it from serving again.
    daemon.process().signal(SIGTERM);
    EXPECT_EQ(daemon.process().wait(), 0);
    struct stat socket {};
    EXPECT_EQ(lstat(daemon.socketPath().c_str(), &socket), 0);
    EXPECT_EQ(socket.st_uid, geteuid());
}

// A peer sending garbage, or a header announcing one byte more than a reader takes, is closed
// and logged. What a peer's requests make a verbose daemon log, its refusals included, is held to
// the rate of the log's lines about a peer: no peer can fill the disk through -v or its refused
// requests. Peers leaving inside a frame, and the daemon's own connections, are TransportTest's.
TEST(DaemonRobustness, BadPeersAreClosedAndAFloodIsLoggedAtTheRateOfLinesAboutAPeer) {
    DaemonUnderTest daemon({"-v", "--limit", "log-lines-per-peer=5"});
    std::string oversized = textFrame("", "").substr(0, kFrameHeaderSize);
    const std::uint32_t tooLong = kMaxReadBodySize + 1;
    for (int i = 0; i < 4; ++i) oversized[4 + i] = static_cast<char>((tooLong >> (8 * i)) & 0xff);
    for (const std::string& bad : {std::string("GET / HTTP/1.1\r\n\r\n"), oversized}) {
        const UniqueFd badPeer(connectRaw(daemon.socketPath()));
        ASSERT_TRUE(sendAll(badPeer.get(), bad));
        EXPECT_TRUE(closedByPeer(badPeer.get()));
    }
    EXPECT_TRUE(daemon.logged("Malformed frame"));
    EXPECT_TRUE(daemon.logged("Frame over"));

    std::string manyNames = "com.ex.N0", forNobody, lookups, refused, idLookups, farAway;
    for (int i = 1; i < 1000; ++i) manyNames += " com.ex.N" + std::to_string(i);
    Frame hello;
    hello.destination = "nobody_ch";
    hello.data = "hello";
    for (int i = 0; i < 1000; ++i) {
        appendEncodedFrame(hello, forNobody);
        lookups += textFrame("find:com.ex.None,", "") + textFrame("find:com.ex.None,nobody_ch", "");
        refused += textFrame("reg:com.ex.\x1b,c", "");
        idLookups += textFrame("find_svc_id:com.ex." + std::string(4096, 'N'), ":1.ids");
    }
    Frame oneWay;
    oneWay.kind = Frame::Kind::OneWayCall;
    oneWay.destination = "svcreg";
    oneWay.interface = std::string(65536, 'I');
    for (int i = 0; i < 100; ++i) appendEncodedFrame(oneWay, farAway);
    const struct {
        const char* what;
        std::string bytes;
    } floods[] = {
        {"1000 entries registered and removed",
         textFrame("reg:" + manyNames + ",c", "") + textFrame("dereg:" + manyNames + ",c", "")},
        {"1000 messages for a channel nobody serves", forNobody},
        {"2000 lookups of a name nobody registered, half answered to a channel nobody serves",
         lookups},
        {"1000 registrations refused", refused},
        {"1000 lookups of the service id of a 4 KiB name nobody registered", idLookups},
        {"100 calls of an interface of a 64 KiB name that nobody serves", farAway},
    };
    const int fd = connectRaw(daemon.socketPath());
    for (const auto& flood : floods) {
        SCOPED_TRACE(flood.what);
        const std::size_t before = occurrences(daemon.process().err(), "\n");
        const std::size_t bytesBefore = daemon.process().err().size();
        ASSERT_TRUE(sendAll(fd, flood.bytes));
        ASSERT_TRUE(barrier(fd));
        EXPECT_LT(occurrences(daemon.process().err(), "\n") - before, 50u)
            << daemon.process().err().substr(0, 2000);
        EXPECT_LT(daemon.process().err().size() - bytesBefore, 64u * 1024);
    }
    close(fd);
}

// Churning registrations leave the daemon's memory flat, also beside a subscriber that never
// reads the notifications they make: its queue is bounded, the daemon logs that it does not keep
// up, and another client's change is made meanwhile.
TEST(DaemonResources, MemoryStaysFlatOver100000RegistrationPairsBesideAPeerThatNeverReads) {
    DaemonUnderTest daemon;
    std::string error;
    // Served as a service serves it, but never accepting.
    const std::unique_ptr<ChannelClaim> stalled = ChannelClaim::claim(
        RuntimeDirectory(daemon.runtimeDirectory()), "stalled_ch", UniqueFd(), error);
    ASSERT_NE(stalled, nullptr) << error;
    const UniqueFd subscriber(connectRaw(daemon.socketPath()));
    Method subscribe("subscribeStartupEvents", Method::REQUEST);
    ASSERT_TRUE(sendAll(subscriber.get(), callFrame(subscribe, "stalled_ch")));
    ASSERT_TRUE(barrier(subscriber.get()));
    const UniqueFd churner(connectRaw(daemon.socketPath()));
    // A thousand names, each registered and deregistered in turn, pairs times over in all.
    const auto churn = [&](int pairs) {
        for (int sent = 0; sent < pairs; sent += 1000) {
            std::string frames;
            for (int i = 0; i < 1000; ++i) {
                const std::string name = "com.ex.Churn" + std::to_string(i);
                frames += textFrame("reg:" + name + ",churn_ch", "") +
                          textFrame("dereg:" + name + ",churn_ch", "");
            }
            if (!sendAll(churner.get(), frames)) return false;
        }
        return true;
    };
    ASSERT_TRUE(churn(10000));  // warms the allocator up, and fills the subscriber's queue
    EXPECT_EQ(daemon.client({"--keep", "register", "com.ex.Prompt", "prompt_ch"}).exitCode, 0);
    ASSERT_TRUE(barrier(churner.get()));
    EXPECT_TRUE(daemon.logged("does not keep up"));
    if (kSanitized) return;  // resident sizes say nothing there
    const long before = residentKiB(daemon.process().pid());
    ASSERT_TRUE(churn(100000) && barrier(churner.get()));
    const long after = residentKiB(daemon.process().pid());
    EXPECT_LT(after - before, 256) << before << " KiB before, " << after << " KiB after";
}

}  // namespace
