// The client API against a real daemon: its answers and waits, and eight clients at once.
#include <atomic>
#include <mutex>
#include <set>
#include <thread>

#include <gmock/gmock.h>
#include <vector>

#include <gtest/gtest.h>

#include "DaemonUnderTest.h"
#include "ServiceRegistry/RegistryClient.h"

namespace {

using svcreg::ClientStatus;

constexpr int kClients = 8;
constexpr int kRequestsPerClient = 1000;

// Each client registers by remote calls and looks up with text requests, on connections of
// its own.
TEST(ConcurrentClients, EveryQueryIsAnsweredAndEveryRegistrationKept) {
    DaemonUnderTest daemon;
    std::atomic<int> failures{0};
    std::vector<std::thread> clients;
    for (int client = 0; client < kClients; ++client) {
        clients.emplace_back([&, client] {
            const std::string channel = "load_ch" + std::to_string(client);
            svcreg::RegistryClient remote(daemon.clientOptions());
            std::string error, name, found;
            if (!remote.open(error)) ++failures;
            for (int i = 0; i < kRequestsPerClient; ++i) {
                if (i % 2 == 0) {
                    name = "load.c" + std::to_string(client) + ".i" + std::to_string(i);
                    if (remote.registerInterfaces(name, channel) != ClientStatus::Done) ++failures;
                } else if (remote.find(name, found) != ClientStatus::Done || found != channel) {
                    ++failures;
                }
            }
        });
    }
    for (std::thread& client : clients) client.join();
    EXPECT_EQ(failures.load(), 0);

    svcreg::RegistryClient checker(daemon.clientOptions());
    std::string error;
    ASSERT_TRUE(checker.open(error)) << error;
    std::vector<svcreg::ServiceRecord> records;
    ASSERT_EQ(checker.details(records), ClientStatus::Done);
    std::set<std::string> names;
    for (const auto& record : records) names.insert(record.ifc);
    for (int client = 0; client < kClients; ++client) {
        for (int i = 0; i < kRequestsPerClient; i += 2) {
            const std::string name = "load.c" + std::to_string(client) + ".i" + std::to_string(i);
            ASSERT_EQ(names.count(name), 1u) << name;
        }
    }
}

TEST(RegistryClient, AnswersWatchesAndWaitsAndSaysWhyWhenItCannot) {
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
    std::thread interrupter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        client.interrupt();
    });
    EXPECT_EQ(client.waitFor("com.ex.Never", std::chrono::seconds(20)), ClientStatus::Interrupted);
    interrupter.join();

    svcreg::ClientOptions elsewhere = daemon.clientOptions();
    elsewhere.registryChannel = "nobody";
    svcreg::RegistryClient lost(elsewhere);
    ASSERT_TRUE(lost.open(error)) << error;
    EXPECT_EQ(lost.find("com.ex.A", channel), ClientStatus::Unreachable);
    EXPECT_EQ(lost.registerInterfaces("com.ex.A", "a_ch"), ClientStatus::Unreachable);
    EXPECT_NE(lost.explain(ClientStatus::Unreachable).find("'nobody'"), std::string::npos);
}

}  // namespace
