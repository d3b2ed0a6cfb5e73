// The daemon against bad peers: garbage, oversized frames, callers that leave mid-request,
// a second daemon for the same channel, and its own clean exit.
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "DaemonUnderTest.h"
#include "FrameCodec.h"
#include "Method.h"

using namespace svcreg;

namespace {

std::string encodedFrame(const Frame& frame) {
    std::string bytes;
    appendEncodedFrame(frame, bytes);
    return bytes;
}

TEST(DaemonRobustness, DropsGarbageAndOversizedFramesAndKeepsServing) {
    DaemonUnderTest daemon;
    ASSERT_EQ(daemon.client({"reg", "com.ex.Kept", "kept_ch"}).exitCode, 0);

    const int garbage = connectRaw(daemon.socketPath());
    ASSERT_TRUE(sendAll(garbage, "GET / HTTP/1.1\r\n\r\n"));
    EXPECT_TRUE(closedByPeer(garbage));
    close(garbage);

    std::string header = encodedFrame(Frame()).substr(0, kFrameHeaderSize);
    const std::uint32_t tooLong = kMaxFrameBodySize + 1;
    for (int i = 0; i < 4; ++i) header[4 + i] = static_cast<char>((tooLong >> (8 * i)) & 0xff);
    const int oversized = connectRaw(daemon.socketPath());
    ASSERT_TRUE(sendAll(oversized, header));
    EXPECT_TRUE(closedByPeer(oversized));
    close(oversized);

    EXPECT_NE(daemon.process().err().find("Malformed frame"), std::string::npos);
    EXPECT_NE(daemon.process().err().find("Frame over"), std::string::npos);
    EXPECT_EQ(daemon.client({"find", "com.ex.Kept"}).out, "kept_ch\n");
}

int registrations(const DaemonUnderTest& daemon, const std::string& prefix) {
    const std::string details = daemon.client({"details"}).out;
    int count = 0;
    for (auto at = details.find(prefix); at != std::string::npos;
         at = details.find(prefix, at + 1)) {
        ++count;
    }
    return count;
}

TEST(DaemonRobustness, CallersThatLeaveMidRequestHurtNobody) {
    DaemonUnderTest daemon;
    Method request("registerSvcInterface", Method::REQUEST);
    request.addStringParameter("ifc", "com.ex.Orphan", Parameter::IN);
    request.addStringParameter("chanName", "orphan_ch", Parameter::IN);
    const std::string whole =
        callFrame(request, std::string()) + textFrame("get_service_details_list:", "long_gone");

    for (int i = 0; i < 50; ++i) {
        const int leaver = connectRaw(daemon.socketPath());
        // Every second one leaves halfway through its second frame.
        const std::size_t cut = i % 2 == 0 ? whole.size() : whole.size() - 5;
        ASSERT_TRUE(sendAll(leaver, whole.substr(0, cut)));
        close(leaver);
    }
    // What arrived whole is handled: every caller's registration is made.
    EXPECT_TRUE(eventually([&] { return registrations(daemon, "com.ex.Orphan\t") == 50; }));
    EXPECT_EQ(daemon.process().wait(std::chrono::milliseconds(0)), -1);  // still running
}

TEST(DaemonLifecycle, RefusesASecondDaemonAndExitsCleanlyOnSignal) {
    DaemonUnderTest daemon;
    ASSERT_TRUE(daemon.serving());

    TempDirectory outputs;
    ChildProcess second(SVCREGD_PATH, {"--runtime-dir", daemon.runtimeDirectory()},
                        outputs.path() + "/second");
    EXPECT_EQ(second.wait(), 1);
    EXPECT_NE(second.err().find("another process already serves this channel"), std::string::npos);
    EXPECT_TRUE(daemon.serving());

    ChildProcess missingLibrary(SVCREGD_PATH,
                                {"--runtime-dir", outputs.path(), "--library", "/nonexistent.so"},
                                outputs.path() + "/nolib");
    EXPECT_EQ(missingLibrary.wait(), 1);
    EXPECT_NE(missingLibrary.err().find("cannot load '/nonexistent.so'"), std::string::npos);

    daemon.process().signal(SIGTERM);
    EXPECT_EQ(daemon.process().wait(), 0);
    EXPECT_EQ(access(daemon.socketPath().c_str(), F_OK), -1);
}

}  // namespace
