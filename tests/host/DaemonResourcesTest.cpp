// The daemon's resources stay bounded whatever its peers do: a peer that never reads holds a
// bounded queue, a peer that stalls inside a frame holds no worker, connections that come and
// go leave no descriptor behind, and churning registrations leave its memory flat.
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

// Text registrations and deregistrations of name, pairs times over.
std::string churn(const std::string& name, int pairs) {
    std::string frames;
    for (int i = 0; i < pairs; ++i) {
        frames += textFrame("reg:" + name + ",churn_ch", "");
        frames += textFrame("dereg:" + name + ",churn_ch", "");
    }
    return frames;
}

TEST(DaemonResources, APeerThatNeverReadsHoldsABoundedQueueAndDelaysNoOne) {
    DaemonUnderTest daemon({"--limit", "name-length=8192"});
    std::string error;
    // Served as a service serves it, but never accepting.
    const std::unique_ptr<ChannelClaim> stalled = ChannelClaim::claim(
        RuntimeDirectory(daemon.runtimeDirectory()), "stalled_ch", UniqueFd(), error);
    ASSERT_NE(stalled, nullptr) << error;
    const int subscriber = connectRaw(daemon.socketPath());
    Method subscribe("subscribeStartupEvents", Method::REQUEST);
    ASSERT_TRUE(sendAll(subscriber, callFrame(subscribe, "stalled_ch")));
    ASSERT_TRUE(barrier(subscriber));
    const long residentBefore = residentKiB(daemon.process().pid());

    // 10,000 notifications of a 4 KiB name are due: 40 MiB if the queue were not bounded.
    const int flooder = connectRaw(daemon.socketPath());
    const std::string longName = "com.ex.Flood" + std::string(4096, 'x');
    for (int round = 0; round < 10; ++round) ASSERT_TRUE(sendAll(flooder, churn(longName, 1000)));
    EXPECT_EQ(daemon.client({"register", "com.ex.Prompt", "prompt_ch"}).exitCode, 0);
    ASSERT_TRUE(barrier(flooder));

    EXPECT_TRUE(contains(daemon.process().err(), "does not keep up"));
    EXPECT_EQ(daemon.client({"find", "com.ex.Prompt"}).out, "prompt_ch\n");
    if (!kSanitized) {
        EXPECT_LT(residentKiB(daemon.process().pid()) - residentBefore, 20 * 1024);
    }
    close(flooder);
    close(subscriber);
}

TEST(DaemonResources, PeersStalledInsideAFrameHoldNoWorker) {
    DaemonUnderTest daemon({"--threads", "1"});
    std::string header = textFrame("find:com.ex.Any,nobody", "").substr(0, kFrameHeaderSize);
    header[4] = static_cast<char>(0xe8);  // announces a 1,000-byte body
    header[5] = 3;
    std::vector<int> stalled;
    for (int i = 0; i < 4; ++i) {
        stalled.push_back(connectRaw(daemon.socketPath()));
        ASSERT_TRUE(sendAll(stalled.back(), header + std::string(10, '\0')));
    }
    // The one worker is free: a registration and a lookup go through while all four wait.
    EXPECT_EQ(daemon.client({"reg", "com.ex.Served", "served_ch"}).exitCode, 0);
    EXPECT_EQ(daemon.client({"find", "com.ex.Served"}).out, "served_ch\n");
    for (int fd : stalled) close(fd);
}

TEST(DaemonResources, ConnectionsThatComeAndGoLeaveNoDescriptorBehind) {
    DaemonUnderTest daemon;
    ASSERT_EQ(daemon.client({"reg", "com.ex.Fd", "fd_ch"}).exitCode, 0);
    const pid_t pid = daemon.process().pid();
    const int before = openDescriptors(pid);

    std::vector<int> held;
    for (int i = 0; i < 200; ++i) held.push_back(connectRaw(daemon.socketPath()));
    for (int i = 0; i < 200; ++i) {
        // Some leave mid-frame, some ask for replies to a channel nobody serves.
        const std::string frame = textFrame("find:com.ex.Fd,nobody_ch", "");
        ASSERT_TRUE(sendAll(held[i], i % 2 == 0 ? frame : frame.substr(0, frame.size() / 2)));
    }
    for (int fd : held) close(fd);
    // Each client answered on a channel of its own, through a connection the daemon opens.
    for (int i = 0; i < 20; ++i) EXPECT_EQ(daemon.client({"find", "com.ex.Fd"}).out, "fd_ch\n");

    EXPECT_TRUE(eventually([&] { return openDescriptors(pid) == before; }))
        << openDescriptors(pid) << " descriptors open, " << before << " before";
}

TEST(DaemonResources, MemoryStaysFlatOver100000RegistrationPairs) {
    if (kSanitized) GTEST_SKIP() << "resident size is not meaningful here";
    DaemonUnderTest daemon;
    const int fd = connectRaw(daemon.socketPath());
    // A thousand names, each registered and deregistered in turn, pairs times over in all.
    auto churnNames = [&](int pairs) {
        for (int sent = 0; sent < pairs; sent += 1000) {
            std::string frames;
            for (int i = 0; i < 1000; ++i) frames += churn("com.ex.Churn" + std::to_string(i), 1);
            if (!sendAll(fd, frames)) return false;
        }
        return barrier(fd);
    };
    ASSERT_TRUE(churnNames(10000));  // warms the allocator up
    const long before = residentKiB(daemon.process().pid());
    ASSERT_TRUE(churnNames(100000));
    const long after = residentKiB(daemon.process().pid());
    EXPECT_LT(after - before, 256) << before << " KiB before, " << after << " KiB after";
    close(fd);
}

}  // namespace
