// The client API against a real daemon: its answers, watches and waits.
#include <mutex>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "DaemonUnderTest.h"
#include "ServiceRegistry/RegistryClient.h"

namespace {

using svcreg::ClientStatus;

TEST(RegistryClient, AnswersWatchesAndWaits) {
    DaemonUnderTest daemon;
    svcreg::RegistryClient client(daemon.clientOptions());
    std::string error, channel;
    ASSERT_TRUE(client.open(error)) << error;
    ASSERT_EQ(client.registerInterfaces("com.ex.A com.ex.B", "a_ch"), ClientStatus::Done);
    EXPECT_EQ(client.registerInterfaces("", "a_ch"), ClientStatus::Refused);
    EXPECT_EQ(client.find("com.ex.Z", channel), ClientStatus::NotFound);
    EXPECT_EQ(client.find("com.ex.A,x", channel), ClientStatus::Invalid);
    long id = 0;
    EXPECT_EQ(client.findServiceId("com.ex.B", id), ClientStatus::Done);
    EXPECT_EQ(id, 1);

    std::vector<std::string> heard;
    std::mutex mutex;
    ASSERT_EQ(client.watch([&](const svcreg::RegistryEvent& event) {
        std::lock_guard<std::mutex> hold(mutex);
        heard.push_back(std::to_string(static_cast<int>(event.kind)) + " " + event.entry.ifc + " " +
                        event.entry.channel + " " + std::to_string(event.entry.svcId));
    }),
              ClientStatus::Done);
    EXPECT_EQ(client.tell("reg:com.ex.C,c_ch"), ClientStatus::Done);
    EXPECT_EQ(client.tell("dereg:com.ex.A,a_ch"), ClientStatus::Done);
    EXPECT_EQ(client.unwatch(), ClientStatus::Done);
    EXPECT_EQ(client.tell("reg:com.ex.D,c_ch"), ClientStatus::Done);
    // Replayed 0, registered 1, removed 2.
    EXPECT_THAT(heard, ::testing::ElementsAre("0 com.ex.A a_ch 1", "0 com.ex.B a_ch 1",
                                              "1 com.ex.C c_ch 2", "2 com.ex.A a_ch 1"));

    EXPECT_EQ(client.waitFor("com.ex.C", std::chrono::seconds(10)), ClientStatus::Done);
    EXPECT_EQ(client.waitFor("com.ex.Never", std::chrono::milliseconds(50)),
              ClientStatus::NotFound);
    // Before the wait begins or while it runs: either way the interruption ends it.
    std::thread interrupter([&] { client.interrupt(); });
    EXPECT_EQ(client.waitFor("com.ex.Never", std::chrono::seconds(20)), ClientStatus::Interrupted);
    interrupter.join();
}

}  // namespace
