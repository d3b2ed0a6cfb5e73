// The client API against a real daemon: its answers, watches and waits, and the example service
// that uses it. Each request's answer through svcreg, found or not, is client_json_test.sh's; a
// miss's reason, ClientCommandsTest's.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <future>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "DaemonUnderTest.h"
#include "LogCapture.h"
#include "ServiceRegistry/RegistryClient.h"
#include "StandInRegistry.h"

namespace {

using svcreg::Status;
using ::testing::HasSubstr;

TEST(RegistryClient, AnswersWatchesAndWaits) {
    DaemonUnderTest daemon;
    svcreg::RegistryClient client(daemon.clientOptions());
    EXPECT_EQ(client.find("com.ex.A"), Status::CannotStart);  // not open yet
    const svcreg::Outcome opened = client.open();
    ASSERT_TRUE(opened) << opened.reason();
    const svcreg::Result<svcreg::ServiceId> first =
        client.registerInterfaces({"com.ex.A", "com.ex.B"}, "a_ch");
    ASSERT_TRUE(first) << first.reason();
    EXPECT_EQ(first.value(), 1);
    EXPECT_EQ(client.registerInterfaces({"com.ex.E"}, "e_ch").value(), 2);

    const svcreg::Outcome noName = client.registerInterfaces({"com.ex.A com.ex.F"}, "a_ch");
    EXPECT_EQ(noName, Status::Invalid);
    EXPECT_THAT(noName.reason(), HasSubstr("'com.ex.A com.ex.F' is not an interface name"));
    EXPECT_EQ(client.find("com.ex.Z"), Status::NotFound);
    EXPECT_EQ(client.find("com.ex.A,x"), Status::Invalid);

    const LogCapture log;
    std::vector<std::string> heard;
    std::mutex mutex;
    // Inside the callback, a lookup reads the shared table; a request whose answer would come
    // on the callback's own thread fails at once.
    std::promise<std::pair<svcreg::Result<std::string>, svcreg::Outcome>> askedInside;
    std::string foundWhenRegistered;
    // The requests below read their replies on this thread; the events that come on the same
    // connection meanwhile still go to the client's own thread.
    const std::thread::id asker = std::this_thread::get_id();
    bool toldOnTheAsker = false;
    ASSERT_TRUE(client.watch([&](const svcreg::RegistryEvent& event) {
        std::lock_guard<std::mutex> hold(mutex);
        toldOnTheAsker = toldOnTheAsker || std::this_thread::get_id() == asker;
        if (heard.empty()) askedInside.set_value({client.find("com.ex.A"), client.unwatch()});
        if (event.kind == svcreg::RegistryEvent::Kind::Registered)
            foundWhenRegistered = client.find(event.entry.ifc).value();
        heard.push_back(std::to_string(static_cast<int>(event.kind)) + " " + event.entry.ifc + " " +
                        event.entry.channel + " " + std::to_string(event.entry.svcId));
        // A callback that throws loses that event only, and is logged once.
        if (event.kind == svcreg::RegistryEvent::Kind::Replayed) throw std::runtime_error("mine");
    }));
    const auto [foundInside, unwatchedInside] = askedInside.get_future().get();
    EXPECT_TRUE(foundInside) << foundInside.reason();
    EXPECT_EQ(foundInside.value(), "a_ch");
    EXPECT_EQ(unwatchedInside, Status::InsideWatch);
    EXPECT_TRUE(client.reg({"com.ex.C"}, "c_ch"));
    EXPECT_TRUE(client.dereg({"com.ex.A"}, "a_ch"));
    EXPECT_EQ(client.wait("com.ex.C", std::chrono::seconds(1)), Status::Invalid);
    EXPECT_TRUE(client.unwatch());
    EXPECT_TRUE(client.tell("reg:com.ex.D,c_ch"));
    // Replayed 0, registered 1, removed 2.
    EXPECT_THAT(
        heard, ::testing::ElementsAre("0 com.ex.A a_ch 1", "0 com.ex.B a_ch 1", "0 com.ex.E e_ch 2",
                                      "1 com.ex.C c_ch 3", "2 com.ex.A a_ch 1"));
    EXPECT_FALSE(toldOnTheAsker);
    EXPECT_EQ(log.holding("its callback threw 'mine'"), 1u);
    EXPECT_EQ(foundWhenRegistered, "c_ch");

    EXPECT_TRUE(client.wait("com.ex.C", std::chrono::seconds(10)));
    // Before the wait begins or while it runs: either way the interruption ends it, here where
    // the wait sleeps on the shared table.
    std::thread interrupter([&] { client.interrupt(); });
    EXPECT_EQ(client.wait("com.ex.Never", std::chrono::seconds(20)), Status::Interrupted);
    interrupter.join();
}

// An unwatch while the client watches again after losing its registry (here, while the
// callback told Lost holds the thread that watches again) leaves no watch there.
TEST(RegistryClient, AnUnwatchDuringTheWatchMadeAgainLeavesNone) {
    StandInRegistry registry;
    ASSERT_TRUE(registry.started);
    {
        svcreg::RegistryClient client(registry.clientOptions());
        ASSERT_TRUE(client.open());
        std::thread unwatcher;
        std::promise<void> unwatching;
        ASSERT_TRUE(client.watch([&](const svcreg::RegistryEvent& event) {
            if (event.kind != svcreg::RegistryEvent::Kind::Lost) return;
            unwatcher = std::thread([&] { EXPECT_TRUE(client.unwatch()); });
            unwatching.set_value();
            EXPECT_TRUE(registry.heard({"watch", "unwatch"}));
        }));
        registry.dropWatcher();
        unwatching.get_future().get();
        unwatcher.join();
    }
    // The client's end waits for its thread that watches again: all it asked has been heard.
    EXPECT_EQ(registry.feed(), (std::vector<std::string>{"watch", "unwatch"}));
}

// Where the daemon shares no table, lookups go over text commands, whose replies the registry
// cuts after 99 bytes: an answer that long is asked again by a road that carries it whole.
TEST(RegistryClient, LookupsOverTextCommandsGiveWholeNamesOrFail) {
    DaemonUnderTest daemon({"--limit", "creators-per-user=1000"});
    daemon.restart(SIGTERM, false);
    const std::string tableFile = daemon.stateDirectory() + "/svcreg.table";
    unlink(tableFile.c_str());
    ASSERT_EQ(mkdir(tableFile.c_str(), 0700), 0);
    daemon.start();
    ASSERT_TRUE(daemon.logged("Lookups go through the socket only"));

    svcreg::RegistryClient client(daemon.clientOptions());
    ASSERT_TRUE(client.open());
    // What a lookup found, which it must have.
    const auto valueOf = [](const auto& result) {
        EXPECT_TRUE(result) << result.reason();
        return result.value();
    };
    for (std::size_t length = 100; length <= 255; ++length) {
        SCOPED_TRACE("names of " + std::to_string(length) + " bytes");
        const std::string ifc = "com.cut.I" + std::to_string(length);
        const std::string channel(length, static_cast<char>('a' + length % 26));
        const std::string lib(length, 'l');
        ASSERT_TRUE(client.registerInterfaces({ifc}, channel));
        ASSERT_TRUE(client.regInvoker(lib, "makeInvoker", ifc, "binary"));
        ASSERT_TRUE(client.regProxy(lib, "makeProxy", ifc, "binary"));

        EXPECT_EQ(valueOf(client.find(ifc)), channel);
        EXPECT_THAT(valueOf(client.getList(ifc)), ::testing::ElementsAre(channel));
        const svcreg::CreatorRecord invoker = valueOf(client.findInvoker(ifc, "binary"));
        EXPECT_EQ(invoker.lib + " " + invoker.creatorFn, lib + " makeInvoker");
        const svcreg::CreatorRecord proxy = valueOf(client.findProxy(ifc));
        EXPECT_EQ(proxy.lib + " " + proxy.creatorFn, lib + " makeProxy");
        EXPECT_EQ(valueOf(client.findSvcId(ifc)), static_cast<svcreg::ServiceId>(length - 99));
    }
    // With no table to read, a lookup inside a watch callback would need the callback's thread.
    std::promise<svcreg::Outcome> askedInside;
    std::once_flag asked;
    ASSERT_TRUE(client.watch([&](const svcreg::RegistryEvent& event) {
        std::call_once(asked, [&] { askedInside.set_value(client.find(event.entry.ifc)); });
    }));
    EXPECT_EQ(askedInside.get_future().get(), Status::InsideWatch);
    EXPECT_TRUE(client.unwatch());
}

// Started with an idle exit, as the registry starts a declared service that has one, the example
// service ends cleanly once nobody has been connected to it that long: its entry goes with it.
TEST(ExampleService, EndsCleanlyOnceIdleForItsDeclaredIdleExit) {
    DaemonUnderTest daemon;
    const std::string libraries =
        std::filesystem::path(SERVICE_REGISTRY_LIBRARY).parent_path().string();
    const TempDirectory outputs;
    ChildProcess service({"/usr/bin/env", "SVCREG_RUNTIME_DIR=" + daemon.runtimeDirectory(),
                          "SVCREG_IDLE_EXIT_SEC=1", "LD_LIBRARY_PATH=" + libraries,
                          EXAMPLE_SERVICE_PATH, "--serve", "idle_camera"},
                         outputs.path() + "/service");
    EXPECT_EQ(service.wait(), 0) << service.err();
    EXPECT_TRUE(contains(service.out(), "ending once idle for 1 s")) << service.out();
    EXPECT_TRUE(contains(service.out(), "done")) << service.out();
    svcreg::RegistryClient client(daemon.clientOptions());
    ASSERT_TRUE(client.open());
    EXPECT_EQ(client.find("com.example.Camera"), Status::NotFound);
}

}  // namespace
