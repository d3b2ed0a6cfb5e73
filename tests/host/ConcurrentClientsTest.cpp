// Eight clients at once, each making a thousand requests to a real daemon.
#include <atomic>
#include <set>
#include <thread>
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

}  // namespace
