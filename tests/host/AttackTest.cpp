// The daemon as a hostile peer would try it, with its address space and descriptors limited as
// on a small device: during and after each attack another user's lookup is answered within a
// second, the daemon's memory stays within its budget, and what was acknowledged before is
// still there. And a client that says what it knows: a lost connection ends a wait at once. The
// prober runs as another user, so the attacks need root.
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include <gtest/gtest.h>

#include "ChannelClaim.h"
#include "DaemonUnderTest.h"
#include "FrameCodec.h"
#include "Method.h"
#include "RegistryEventsProtocol.h"
#include "RegistryTextProtocol.h"
#include "ServiceRegistry/HostFramework.h"
#include "UnixSocket.h"

using namespace svcreg;

namespace {

constexpr uid_t kProber = 40002;
constexpr long kResidentBudgetKiB = 256 * 1024;  // what the systemd unit allows

// A small device's limits; sanitizers cannot run under an address-space limit.
std::vector<std::string> deviceLimits() {
    std::vector<std::string> prlimit = {"/usr/bin/prlimit", "--nofile=1024"};
    if (!kSanitized) prlimit.push_back("--as=" + std::to_string(512L << 20));
    prlimit.push_back("--");
    return prlimit;
}

// Lookups of com.ex.Kept sent on fd, to be answered at channel from source, then a barrier: the
// answers that came.
std::vector<Frame> lookUp(int fd, const std::string& channel, const std::string& source,
                          int lookups) {
    std::string frames;
    for (int i = 0; i < lookups; ++i) frames += textFrame("find:com.ex.Kept," + channel, source);
    std::vector<Frame> answers;
    EXPECT_TRUE(sendAll(fd, frames) && barrier(fd, &answers));
    return answers;
}

const ForkedAs kAsProber{kProber, kProber, {kUsers}};

// Names and a channel of the longest, a number starting each name, as many as fill a
// user's default quota of the table's bytes: "reg:" and this make the largest registration.
constexpr int kEntriesFillingAQuota = (1 << 20) / (255 + 255 + 16);
std::string quotaOfEntries() {
    std::string names;
    for (int i = 0; i < kEntriesFillingAQuota; ++i) {
        const std::string number = std::to_string(i);
        names += (i == 0 ? "" : " ") + number + std::string(255 - number.size(), 'n');
    }
    return names + "," + std::string(255, 'c');
}

class Attack : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "probes as another user: needs root";
    }

    // The daemon under the device's limits, with an acknowledged registration when kept.
    void start(std::vector<std::string> arguments = {}, bool kept = true) {
        arguments.insert(arguments.end(), {"--group", "users"});
        daemon = std::make_unique<DaemonUnderTest>(arguments, deviceLimits());
        ASSERT_EQ(chmod(daemon->runtimeDirectory().c_str(), 0755), 0);
        if (kept) {
            ASSERT_EQ(daemon->client({"--keep", "register", "com.ex.Kept", "kept_ch"}).out,
                      "registered\n");
        }
    }

    // Another user's lookup is answered in time, and the daemon's memory is within budget.
    void expectServing() {
        const ClientResult found =
            daemon->client({"--reply-timeout", kSanitized ? "10" : "1", "find", "com.ex.Kept"},
                           asUser(kProber, kProber, {kUsers}));
        EXPECT_EQ(found.out, "kept_ch\n") << found.err;
        if (!kSanitized) {
            EXPECT_LT(residentKiB(daemon->process().pid()), kResidentBudgetKiB);
        }
    }

    // True once frames, sent on a connection of a process of as's, are all handled.
    bool sentAs(const ForkedAs& as, const std::string& frames) {
        return ForkedProcess(
                   [&] {
                       const UniqueFd connection(connectRaw(daemon->socketPath()));
                       return sendAll(connection.get(), frames) && barrier(connection.get());
                   },
                   &as)
            .started;
    }

    std::unique_ptr<DaemonUnderTest> daemon;
};

TEST_F(Attack, ThousandsOfReplyChannelsCannotTakeEveryDescriptor) {
    start();
    const rlimit many{8192, 8192};
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &many), 0);
    std::vector<UniqueFd> replyChannels;
    std::string lookups;
    std::string error;
    for (int i = 0; i < 3000; ++i) {
        const std::string channel = "reply" + std::to_string(i);
        replyChannels.push_back(listenAt(daemon->runtimeDirectory() + "/" + channel, error));
        ASSERT_TRUE(replyChannels.back().valid()) << error;
        lookups += textFrame("find:com.ex.Kept," + channel, "");
    }
    const int attacker = connectRaw(daemon->socketPath());
    ASSERT_TRUE(sendAll(attacker, lookups));
    ASSERT_TRUE(barrier(attacker));
    expectServing();
    EXPECT_LT(openDescriptors(daemon->process().pid()), 1024);
    close(attacker);
    replyChannels.clear();
    expectServing();
}

// A member's reply channels, whose answers it never reads, hold as many of the daemon's
// outbound connections as its share allows: another user's reply channel is still answered.
TEST_F(Attack, ReplyChannelsThatNeverReadLeaveOutboundConnectionsForOthers) {
    start({"--limit", "outbound-connections=8"});
    ASSERT_EQ(chmod(daemon->runtimeDirectory().c_str(), 01777), 0);
    ForkedProcess stuck(
        [&] {
            static std::vector<UniqueFd> channels;
            std::string lookups, error;
            for (int i = 0; i < 8; ++i) {
                const std::string channel = "stuck" + std::to_string(i);
                channels.push_back(listenAt(daemon->runtimeDirectory() + "/" + channel, error));
                for (int n = 0; n < 2000; ++n)
                    lookups += textFrame("find:com.ex.Kept," + channel, "");
            }
            static UniqueFd connection(connectRaw(daemon->socketPath()));
            return sendAll(connection.get(), lookups) && barrier(connection.get());
        },
        &kAsProber);
    ASSERT_TRUE(stuck.started);
    std::string error;
    const UniqueFd mine = listenAt(daemon->runtimeDirectory() + "/mine", error);
    ASSERT_TRUE(mine.valid()) << error;
    const UniqueFd asker(connectRaw(daemon->socketPath()));
    ASSERT_TRUE(sendAll(asker.get(), textFrame("find:com.ex.Kept,mine", "")) &&
                barrier(asker.get()));
    pollfd answered{mine.get(), POLLIN, 0};
    EXPECT_EQ(poll(&answered, 1, 10000), 1) << daemon->process().err().substr(0, 3000);
    EXPECT_TRUE(daemon->logged(" for pid " + std::to_string(stuck.pid) +
                               " uid 40002 gid 40002: 2 outbound connections for its user"));
}

// A member's subscriptions and unsubscriptions that name another user's services for calls
// back are refused, and leave no watch of those services behind: the other user's share of
// watched processes is still its own. Its own channel holds a bounded number of subscriptions.
TEST_F(Attack, RefusedSubscriptionsWatchNothingOfTheChannelsTheyName) {
    start({"--limit", "watched-processes-per-user=2"});
    ASSERT_EQ(chmod(daemon->runtimeDirectory().c_str(), 01777), 0);
    const ForkedAs other{kProber + 1, kProber + 1, {kUsers}};
    std::vector<std::unique_ptr<ForkedProcess>> services;
    std::string calls;
    for (const std::string channel : {"other1", "other2"}) {
        services.push_back(std::make_unique<ForkedProcess>(
            [&] {
                std::string error;
                static std::unique_ptr<ChannelClaim> claim = ChannelClaim::claim(
                    RuntimeDirectory(daemon->runtimeDirectory()), channel, UniqueFd(), error);
                return claim != nullptr;
            },
            &other));
        ASSERT_TRUE(services.back()->started);
        for (const char* name : {"subscribeStartupEvents", "unsubscribeStartupEvents"}) {
            Method call(name, Method::REQUEST);
            calls += callFrame(call, channel);
        }
    }
    ASSERT_TRUE(sentAs(kAsProber, calls));
    EXPECT_TRUE(daemon->logged("channel 'other2' is not the caller's own"));
    // The caller and the process serving other1: two watched processes.
    const ClientResult registered = daemon->client({"register", "com.ex.Other", "other1"},
                                                   asUser(other.uid, other.gid, other.groups));
    EXPECT_EQ(registered.out, "registered\n") << registered.err;

    // A channel of one's own holds 16 subscriptions at most: the registry tells each of every
    // registration, and the subscriber's end undoes each.
    std::string many;
    for (int i = 0; i <= 16; ++i) {
        Method subscribe("subscribeStartupEvents", Method::REQUEST);
        many += callFrame(subscribe, "mine");
    }
    const ForkedProcess subscriber(
        [&] {
            std::string error;
            static const std::unique_ptr<ChannelClaim> claim = ChannelClaim::claim(
                RuntimeDirectory(daemon->runtimeDirectory()), "mine", UniqueFd(), error);
            const UniqueFd connection(connectRaw(daemon->socketPath()));
            return claim != nullptr && sendAll(connection.get(), many) && barrier(connection.get());
        },
        &kAsProber);
    ASSERT_TRUE(subscriber.started);
    EXPECT_TRUE(daemon->logged("uid 40002 gid 40002: channel 'mine' holds 16 subscriptions"));

    // One at a channel of one's own whose process has ended, its socket left behind, is refused
    // saying so.
    std::string error;
    const UniqueFd left = listenAt(daemon->runtimeDirectory() + "/left", error);
    ASSERT_TRUE(left.valid()) << error;
    Method subscribe("subscribeStartupEvents", Method::REQUEST);
    const UniqueFd caller(connectRaw(daemon->socketPath()));
    ASSERT_TRUE(sendAll(caller.get(), callFrame(subscribe, "left")) && barrier(caller.get()));
    EXPECT_TRUE(daemon->logged("channel 'left' cannot be watched for its end: nobody serves it"));
}

// Lookups read the table the daemon shares, which has no such limit; over the socket, the
// text command gets an error in its place.
TEST_F(Attack, ADetailsListTooLargeForAFrameIsAnsweredWithAnError) {
    start({"--limit", "entries-per-user=200000", "--limit", "entries=200000", "--limit",
           "table-bytes-per-user=100000000", "--limit", "table-bytes=100000000"});
    const int registrar = connectRaw(daemon->socketPath());
    for (int frame = 0; frame < 150; ++frame) {
        std::string names;
        for (int i = 0; i < 1000; ++i) {
            names += (i == 0 ? "" : " ") + std::string("com.example.Interface") +
                     std::to_string(frame * 1000 + i);
        }
        ASSERT_TRUE(
            sendAll(registrar, textFrame("reg:" + names + ",a_channel_of_some_length", "")));
    }
    ASSERT_TRUE(barrier(registrar));
    const ClientResult details = daemon->client({"details"});
    EXPECT_EQ(details.exitCode, 0) << details.err;
    EXPECT_EQ(occurrences(details.out, "\ta_channel_of_some_length\n"), 150000u);

    std::vector<Frame> answers;
    ASSERT_TRUE(sendAll(registrar, textFrame(std::string(RegistryText::kGetDetailsList) + ":",
                                             ":details.asker")) &&
                barrier(registrar, &answers));
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].interface, kErrorReplyInterface);
    EXPECT_TRUE(contains(answers[0].data, "-byte limit of a frame")) << answers[0].data;
    EXPECT_TRUE(daemon->logged("-byte limit of a frame; an error goes instead"));
    expectServing();
    close(registrar);
}

// A member sprays lookups and listings whose answers would go to another user's private
// channel, or to another user's service socket that the member may not connect to, and asks
// for the table's changes to be called back at that socket: the daemon
// sends nothing there, makes no connection there, and logs it once for the member's
// connection, while the other's own 1,000 lookups are answered, each once, as asked.
TEST_F(Attack, AnswersGoOnlyWhereTheAskerMaySend) {
    start();
    std::string error;
    const std::string servicePath = daemon->runtimeDirectory() + "/victim_ch";
    const UniqueFd service = listenAt(servicePath, error);
    ASSERT_TRUE(service.valid()) << error;
    ASSERT_EQ(chmod(servicePath.c_str(), 0600), 0);
    const UniqueFd victim(connectRaw(daemon->socketPath()));
    const std::string own = ":" + std::to_string(getpid()) + ".victim";
    ASSERT_EQ(lookUp(victim.get(), own, own, 1).size(), 1u);  // makes own the victim connection's

    std::string spray;
    for (int i = 0; i < 500; ++i) {
        spray += textFrame("find:com.ex.Kept," + own, "") +
                 textFrame("getlist:com.ex.Kept,victim_ch", "") +
                 textFrame("get_service_details_list:", "victim_ch");
    }
    // The changes of the table, called back at the other's channel.
    Method watch(RegistryEventsProtocol::kWatch, Method::REQUEST);
    spray += callFrame(watch, "victim_ch", RegistryEventsProtocol::kInterface);
    // The prober's connection, made by a child that lives on while it is used, is sprayed on
    // from a thread of this process: a fork from that thread, beside this one, could deadlock.
    constexpr int kProbersSocket = 100;
    ForkedProcess prober(
        [&] { return dup2(connectRaw(daemon->socketPath()), kProbersSocket) == kProbersSocket; },
        &kAsProber);
    ASSERT_TRUE(prober.started);
    const UniqueFd probers(descriptorOf(prober.pid, kProbersSocket));
    ASSERT_TRUE(probers.valid()) << std::strerror(errno);
    bool sprayed = false;
    std::thread sprayer([&] { sprayed = sendAll(probers.get(), spray) && barrier(probers.get()); });
    const std::vector<Frame> answers = lookUp(victim.get(), own, own, 1000);
    sprayer.join();
    EXPECT_TRUE(sprayed);
    EXPECT_EQ(answers.size(), 1000u);
    for (const Frame& answer : answers) {
        ASSERT_EQ(answer.destination, own);
        ASSERT_EQ(answer.data, "found:kept_ch");
    }
    EXPECT_TRUE(lookUp(victim.get(), own, own, 0).empty()) << "answers came late";
    pollfd connecting{service.get(), POLLIN, 0};
    EXPECT_EQ(poll(&connecting, 1, 0), 0) << "the daemon connected to a socket the asker may not";
    ASSERT_TRUE(daemon->logged("is not the asker's own"));
    EXPECT_TRUE(daemon->logged("channel 'victim_ch' is not the caller's own"));
    EXPECT_EQ(occurrences(daemon->process().err(), "(logged once for its connection)"), 1u);
    expectServing();
}

// Two members ask for the whole table's details again and again (as fast as they like here)
// over connections whose answers they never read: what the daemon holds for them stays within
// the quota of queued bytes, with a margin for its own working memory, and is given back to the
// system once they close.
TEST_F(Attack, UnreadRepliesHoldTheirQuotaAndGoWithTheirPeers) {
    if (kSanitized) GTEST_SKIP() << "resident size is not meaningful here";
    constexpr long kQuotaKiB = 8 * 1024, kMarginKiB = 2 * 1024;
    constexpr int kConnections = 4;
    start({"--limit", "queued-bytes=" + std::to_string(kQuotaKiB * 1024), "--limit",
           "queued-bytes-per-user=" + std::to_string(kQuotaKiB * 512), "--limit",
           "listed-bytes-per-user-per-second=" + std::to_string(1ull << 32)},
          false);
    // Details of some 1 MB, read whole on a connection of each of the daemon's threads before
    // its size is taken: their working memory for such an answer is in it.
    ASSERT_TRUE(sentAs(kAsProber, textFrame("reg:" + quotaOfEntries(), "")));
    std::vector<UniqueFd> readers;
    for (int thread = 0; thread < 4; ++thread)
        readers.emplace_back(connectRaw(daemon->socketPath()));
    for (std::size_t i = 0; i < readers.size(); ++i) {
        std::vector<Frame> details;
        const std::string own = ":reader" + std::to_string(i);
        ASSERT_TRUE(sendAll(readers[i].get(), textFrame("get_service_details_list:", own)) &&
                    barrier(readers[i].get(), &details));
        ASSERT_EQ(details.size(), 1u);
    }
    readers.clear();
    const pid_t pid = daemon->process().pid();
    const long before = residentKiB(pid);

    // Each connection's last frame is a refused change, logged once all before it are handled.
    const auto tagOf = [](uid_t user, int connection) {
        return std::to_string(user) + "." + std::to_string(connection);
    };
    std::vector<std::unique_ptr<ForkedProcess>> members;
    for (const uid_t user : {kProber, kProber + 1}) {
        const ForkedAs as{user, user, {kUsers}};
        members.push_back(std::make_unique<ForkedProcess>(
            [&] {
                for (int connection = 0; connection < kConnections; ++connection) {
                    const std::string own = ":" + tagOf(user, connection);
                    std::string frames;
                    for (int i = 0; i < 64; ++i)
                        frames += textFrame("get_service_details_list:", own);
                    frames += textFrame("reg:com.ex.Done" + tagOf(user, connection) + "\x1b,c", "");
                    if (!sendAll(connectRaw(daemon->socketPath()), frames)) return false;
                }
                return true;
            },
            &as));
        ASSERT_TRUE(members.back()->started);
    }
    for (const uid_t user : {kProber, kProber + 1}) {
        for (int connection = 0; connection < kConnections; ++connection) {
            ASSERT_TRUE(daemon->logged("Refused 'reg:com.ex.Done" + tagOf(user, connection)));
        }
    }
    const long holding = residentKiB(pid) - before;
    EXPECT_LT(holding, kQuotaKiB + kMarginKiB) << "KiB held for unread replies";

    members.clear();  // their connections close
    EXPECT_TRUE(eventually([&] { return residentKiB(pid) - before <= 1024; }))
        << residentKiB(pid) - before << " KiB still held once the peers closed";
    // A crash, and a start on the journal of a user's full quota within the device's limits; the
    // user, who has no account name, is shown by number.
    daemon->restart(SIGKILL);
    EXPECT_EQ(occurrences(daemon->client({"list"}).out, "\t40002\n"), 1u * kEntriesFillingAQuota);
}

TEST(HonestClient, ALostConnectionEndsTheWaitAtOnce) {
    TempDirectory folder;
    std::string error;
    const UniqueFd listener = listenAt(folder.path() + "/svcreg", error);
    ASSERT_TRUE(listener.valid()) << error;
    // Takes each request, then hangs up without answering: the one for the shared table, then
    // the lookup over the socket.
    std::atomic<bool> done{false};
    std::thread hangUp([&] {
        while (!done) {
            pollfd waiting{listener.get(), POLLIN, 0};
            if (poll(&waiting, 1, 100) != 1) continue;
            const UniqueFd connection(accept(listener.get(), nullptr, nullptr));
            pollfd request{connection.get(), POLLIN, 0};
            poll(&request, 1, 20000);
        }
    });
    const ClientResult lost = runClient(
        folder.path(), {"--reply-timeout", "60", "find", "com.ex.X"}, folder.path() + "/client");
    done = true;
    hangUp.join();
    EXPECT_EQ(lost.exitCode, 3);
    EXPECT_TRUE(contains(lost.err, "closed before its answer came")) << lost.err;
}

}  // namespace
