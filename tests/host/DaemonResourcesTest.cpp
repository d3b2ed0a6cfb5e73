// The daemon's resources stay bounded whatever its peers do: a peer that never reads holds a
// bounded queue, and churning registrations leave its memory flat.
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ChannelClaim.h"
#include "DaemonUnderTest.h"
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
    EXPECT_EQ(daemon.client({"--keep", "register", "com.ex.Prompt", "prompt_ch"}).exitCode, 0);
    ASSERT_TRUE(barrier(flooder));

    EXPECT_TRUE(daemon.logged("does not keep up"));
    EXPECT_EQ(daemon.client({"find", "com.ex.Prompt"}).out, "prompt_ch\n");
    if (!kSanitized) {
        EXPECT_LT(residentKiB(daemon.process().pid()) - residentBefore, 20 * 1024);
    }
    close(flooder);
    close(subscriber);
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
