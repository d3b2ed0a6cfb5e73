// Watchers and waiters: subscriptions across processes, and watchers that go away.
#include <signal.h>

#include <gtest/gtest.h>

#include "DaemonUnderTest.h"

namespace {

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(Watch, SeesTheReplayThenNewRegistrationsAndUnsubscribesOnInterrupt) {
    DaemonUnderTest daemon({"-vv"});
    ASSERT_EQ(daemon.client({"reg", "com.ex.Early", "early_ch"}).exitCode, 0);

    auto first = daemon.startClient({"watch"});
    auto second = daemon.startClient({"--json", "watch"});
    ASSERT_TRUE(eventually([&] { return contains(first->out(), "com.ex.Early\n"); }));
    ASSERT_TRUE(eventually([&] { return contains(second->out(), "com.ex.Early"); }));

    ASSERT_EQ(daemon.client({"register", "com.ex.Late", "late_ch"}).exitCode, 0);
    EXPECT_TRUE(eventually([&] { return first->out() == "com.ex.Early\ncom.ex.Late\n"; }));
    EXPECT_TRUE(eventually([&] {
        return second->out() ==
               "{\"interface\":\"com.ex.Early\"}\n{\"interface\":\"com.ex.Late\"}\n";
    }));

    first->signal(SIGINT);
    second->signal(SIGTERM);
    EXPECT_EQ(first->wait(), 0);
    EXPECT_EQ(second->wait(), 0);
    // Both unsubscribed, so the next registration is nobody's loss, and the daemon has let go
    // of the observer proxies that stood for them.
    ASSERT_EQ(daemon.client({"reg", "com.ex.After", "after_ch"}).exitCode, 0);
    EXPECT_FALSE(contains(daemon.process().err(), "is gone"));
    EXPECT_TRUE(eventually([&] {
        const std::string log = daemon.process().err();
        const auto first = log.find("observer proxy is freed");
        return first != std::string::npos &&
               log.find("observer proxy is freed", first + 1) != std::string::npos;
    }));
}

TEST(Watch, AKilledWatcherIsForgottenAndRegistrationsGoOn) {
    DaemonUnderTest daemon({"-v"});
    auto watcher = daemon.startClient({"watch"});
    ASSERT_EQ(daemon.client({"reg", "com.ex.One", "one_ch"}).exitCode, 0);
    ASSERT_TRUE(eventually([&] { return contains(watcher->out(), "com.ex.One"); }));

    watcher->signal(SIGKILL);
    EXPECT_EQ(watcher->wait(), 128 + SIGKILL);
    for (int i = 0; i < 20; ++i) {
        const std::string name = "com.ex.After" + std::to_string(i);
        ASSERT_EQ(daemon.client({"register", name, "after_ch"}).exitCode, 0) << name;
    }
    // Found either by a notification that could not go or when its connection closed.
    const std::string lost = "Subscriber channel ':" + std::to_string(watcher->pid()) + ".0'";
    EXPECT_TRUE(eventually([&] { return contains(daemon.process().err(), lost); }));
    EXPECT_EQ(daemon.client({"find", "com.ex.After19"}).out, "after_ch\n");
}

TEST(Wait, ReturnsOnRegistrationMadeBeforeOrAfterAndTimesOutOtherwise) {
    DaemonUnderTest daemon;
    ASSERT_EQ(daemon.client({"reg", "com.ex.Already", "a_ch"}).exitCode, 0);
    EXPECT_EQ(daemon.client({"wait", "com.ex.Already", "--timeout", "10"}).exitCode, 0);

    auto waiter = daemon.startClient({"wait", "com.ex.Coming", "--timeout", "20"});
    ASSERT_EQ(daemon.client({"reg", "com.ex.Coming", "c_ch"}).exitCode, 0);
    EXPECT_EQ(waiter->wait(), 0);

    const ClientResult never = daemon.client({"wait", "com.ex.Never", "--timeout", "0.2"});
    EXPECT_EQ(never.exitCode, 1);
    EXPECT_TRUE(contains(never.err, "not registered within"));
}

}  // namespace
