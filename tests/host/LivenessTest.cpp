// What outlives what: watchers and waiters across the daemon's restarts, the entries of
// processes that end, and the files they leave behind. That every change acknowledged is kept
// through a crash is the journal's: PipelineDifferential replays it while the first pipeline
// still runs.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "DaemonUnderTest.h"
#include "RegistryJournal.h"

namespace {

using svcreg::Status;

bool exists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}

constexpr uid_t kAlice = 1001, kBob = 1002;

// The journal at path as though the daemon had ended right after the record registering ifc.
void endJournalAfter(const std::string& path, const std::string& ifc) {
    std::size_t dropped = 0, end = 0;
    for (const svcreg::JournalRecord& record :
         svcreg::RegistryJournal::parse(readFile(path), dropped)) {
        end += svcreg::RegistryJournal::encode(record).size();
        if (record.kind == svcreg::JournalRecord::Kind::Register && record.fields[0] == ifc) break;
    }
    std::filesystem::resize_file(path, end);
}

// Another svcregd of the same runtime directory, as a service that serves channel, run through
// runAs when given (see asUser). Its socket is left to the umask: a user outside the machine's
// access group may not give it to that group. Its claim is in the runtime directory, as a
// service's is, where the registry finds the process serving the channel.
std::unique_ptr<ChildProcess> serveChannel(const DaemonUnderTest& daemon,
                                           const std::string& channel,
                                           const std::vector<std::string>& runAs = {}) {
    std::vector<std::string> command = runAs;
    command.insert(command.end(),
                   {SVCREGD_PATH, "--runtime-dir", daemon.runtimeDirectory(), "--channel", channel,
                    "--forget-on-restart", "--group=", "--state-dir=", "--policy="});
    auto service =
        std::make_unique<ChildProcess>(command, daemon.runtimeDirectory() + "/.service-" + channel);
    EXPECT_TRUE(eventually([&] { return accepting(daemon.runtimeDirectory() + "/" + channel); }));
    return service;
}

// Its JSON lines are client_json_test.sh's.
TEST(WatchAndWait, GoOnAcrossRestartsAndWatchReportsEachChangeWithItsEntry) {
    DaemonUnderTest daemon;
    ASSERT_EQ(daemon.client({"reg", "com.ex.Early", "early_ch"}).exitCode, 0);
    auto text = daemon.startClient({"watch"});
    ASSERT_TRUE(
        eventually([&] { return contains(text->out(), "\treplay\tcom.ex.Early\tearly_ch\t1\n"); }));

    ASSERT_EQ(daemon.client({"--keep", "register", "com.ex.Late", "late_ch"}).exitCode, 0);
    ASSERT_EQ(daemon.client({"dereg", "com.ex.Early", "early_ch"}).exitCode, 0);
    EXPECT_TRUE(eventually(
        [&] { return contains(text->out(), "\tremoved\tcom.ex.Early\tearly_ch\t1\n"); }));
    EXPECT_TRUE(contains(text->out(), "\tregistered\tcom.ex.Late\tlate_ch\t2\n"));

    daemon.restart(SIGKILL);
    EXPECT_TRUE(eventually([&] { return contains(text->err(), "has gone; watching again"); }));
    ASSERT_TRUE(eventually([&] { return contains(text->out(), "\trestarted\n"); }));
    const std::size_t restarted = text->out().find("\trestarted\n");
    ASSERT_EQ(daemon.client({"reg", "com.ex.After", "after_ch"}).exitCode, 0);
    EXPECT_TRUE(eventually([&] {
        return contains(text->out(), "\tregistered\tcom.ex.After\tafter_ch\t3\n");
    })) << text->out();
    EXPECT_NE(text->out().find("\treplay\tcom.ex.Late\tlate_ch\t2\n", restarted), std::string::npos)
        << text->out();
    text->signal(SIGINT);
    EXPECT_EQ(text->wait(), 0);

    // Waits for the registry to come, and across its restarts. A wait for an entry already
    // there, and one that runs out, are client_json_test.sh's.
    auto throughRestart = daemon.startClient({"wait", "com.ex.Coming", "--timeout", "20"});
    daemon.restart(SIGKILL, false);
    auto beforeStart = daemon.startClient({"wait", "com.ex.Coming", "--timeout", "20"});
    const ClientResult nobody = daemon.client({"wait", "com.ex.Coming", "--timeout", "0.3"});
    EXPECT_EQ(nobody.exitCode, 3);
    EXPECT_TRUE(contains(nobody.err, "no registry reachable")) << nobody.err;
    daemon.start();
    ASSERT_EQ(daemon.client({"reg", "com.ex.Coming", "c_ch"}).exitCode, 0);
    EXPECT_EQ(throughRestart->wait(), 0);
    EXPECT_EQ(beforeStart->wait(), 0);
}

// Its entries' end while the daemon runs is OwnerWatch's test (the same event as at a start).
TEST(DeadOwners, AnEndedServiceLosesItsEntriesAtTheNextStartToNoOtherUser) {
    DaemonUnderTest daemon({"-vv"});
    auto service = serveChannel(daemon, "svc_ch");
    ASSERT_EQ(daemon.client({"reg", "com.ex.Svc com.ex.Other", "svc_ch"}).exitCode, 0);
    ASSERT_EQ(daemon.client({"reg", "com.ex.Elsewhere", "elsewhere_ch"}).exitCode, 0);
    const std::string watching = "Watching the process of channel 'svc_ch'";
    ASSERT_TRUE(daemon.logged(watching));

    // Killed while the registry is down, the service leaves its socket and lock files behind; a
    // start sweeps them, and removes its entries.
    daemon.restart(SIGKILL, false);
    service->signal(SIGKILL);
    EXPECT_EQ(service->wait(), 128 + SIGKILL);
    const std::string socketLeft = daemon.runtimeDirectory() + "/svc_ch";
    const std::string lockLeft = daemon.runtimeDirectory() + "/.svc_ch.lock";
    EXPECT_TRUE(exists(socketLeft) && exists(lockLeft));
    daemon.start();
    EXPECT_FALSE(exists(socketLeft) || exists(lockLeft));
    EXPECT_TRUE(exists(daemon.stateDirectory() + "/svcreg.lock"));
    EXPECT_TRUE(daemon.logged("Removed 2 entries at channel 'svc_ch'"));
    EXPECT_EQ(daemon.client({"find", "com.ex.Svc"}).exitCode, 1);
    EXPECT_EQ(daemon.client({"find", "com.ex.Elsewhere"}).out, "elsewhere_ch\n");

    // Another user's process serving the channel by the start is handed none of its entries.
    service = serveChannel(daemon, "svc_ch");
    ASSERT_EQ(daemon.client({"reg", "com.ex.Svc", "svc_ch"}).exitCode, 0);
    ASSERT_TRUE(daemon.logged(watching));
    daemon.restart(SIGKILL, false);
    service->signal(SIGTERM);
    EXPECT_EQ(service->wait(), 0);
    const bool impostor = geteuid() == 0;
    if (impostor) {
        ASSERT_EQ(chmod(daemon.runtimeDirectory().c_str(), 01777), 0);
        service = serveChannel(daemon, "svc_ch", asUser(kBob, kNogroup));
    }
    daemon.start();
    EXPECT_TRUE(eventually([&] { return daemon.client({"find", "com.ex.Svc"}).exitCode == 1; }));
    const std::string handedOver = "a process of uid 1002 serves it now";
    EXPECT_TRUE(impostor ? daemon.logged(handedOver)
                         : !contains(daemon.process().err(), handedOver));
    EXPECT_EQ(daemon.client({"find", "com.ex.Elsewhere"}).out, "elsewhere_ch\n");
    if (!impostor) return;

    // Served by the same user's process after a restart, a channel keeps its entries, whoever
    // registered them (root here).
    const auto alices = serveChannel(daemon, "alice_ch", asUser(kAlice, kNogroup));
    ASSERT_EQ(daemon.client({"reg", "com.ex.Alices", "alice_ch"}).exitCode, 0);
    const std::string watchingAlices = "Watching the process of channel 'alice_ch'";
    ASSERT_TRUE(daemon.logged(watchingAlices));
    daemon.restart(SIGKILL);
    ASSERT_TRUE(daemon.logged(watchingAlices));
    EXPECT_EQ(daemon.client({"find", "com.ex.Alices"}).out, "alice_ch\n");
    EXPECT_FALSE(contains(daemon.process().err(), "entries at channel 'alice_ch'"));
}

// An entry registered by remote call is its caller's from the moment the registry takes it: a
// svcreg that ends as soon as its registration is answered takes it along at once, and a caller
// that runs on keeps it across the daemon's restarts until it ends, also while the daemon is
// away. (A service serving its channel is AnEndedService's above; the unit of it, OwnerWatch's.)
TEST(DeadOwners, CallersTakeTheirEntriesAlongAtOnceAndAcrossRestarts) {
    DaemonUnderTest daemon({"-vv"});
    // Forked before this process starts any thread; each registers, then waits to be killed.
    const auto caller = [&](const std::string& name) {
        return std::make_unique<ForkedProcess>([&daemon, name] {
            svcreg::RegistryClient client(daemon.clientOptions());
            return client.open() && client.registerInterfaces({"com.ex." + name}, name + "_ch");
        });
    };
    const auto running = caller("Running"), endsAway = caller("EndsAway");
    ASSERT_TRUE(running->started && endsAway->started);

    std::vector<std::unique_ptr<ChildProcess>> brief;
    for (int i = 0; i < 20; ++i) {
        brief.push_back(daemon.startClient({"register", "com.ex.Brief" + std::to_string(i), "c"}));
    }
    for (const auto& registrar : brief) ASSERT_EQ(registrar->wait(), 0) << registrar->err();
    svcreg::RegistryClient client(daemon.clientOptions());
    ASSERT_TRUE(client.open());
    EXPECT_TRUE(eventually([&] { return client.details() && client.details()->size() == 2; },
                           std::chrono::seconds(1)))
        << client.details()->size() << " entries left";
    EXPECT_TRUE(daemon.logged("the process that registered them has ended"));

    const auto found = [&](const std::string& name) {
        return daemon.client({"find", "com.ex." + name}).exitCode == 0;
    };
    daemon.restart(SIGKILL);
    EXPECT_TRUE(found("Running") && found("EndsAway"));
    running->kill();
    EXPECT_TRUE(eventually([&] { return !found("Running"); }));
    ASSERT_EQ(daemon.client({"register", "com.ex.Cut", "c"}).exitCode, 0);
    daemon.restart(SIGKILL, false);
    endsAway->kill();
    endJournalAfter(daemon.stateDirectory() + "/svcreg.journal", "com.ex.Cut");
    daemon.start();
    EXPECT_TRUE(eventually([&] { return !found("EndsAway") && !found("Cut"); }));
}

// A caller whose end the daemon cannot watch, its user's share of watched processes being used,
// is refused, with the reason, rather than given entries that would outlive it.
TEST(DeadOwners, ACallerThatCannotBeWatchedIsRefusedUnlessItsEntriesAreKept) {
    DaemonUnderTest daemon({"--limit", "watched-processes-per-user=1"});
    svcreg::RegistryClient client(daemon.clientOptions());
    ASSERT_TRUE(client.open());
    ASSERT_EQ(client.registerInterfaces({"com.ex.Mine"}, "mine_ch"), Status::Done);
    const ClientResult refused = daemon.client({"register", "com.ex.Other", "other_ch"});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_TRUE(contains(refused.err, "are at their share (1 per user)")) << refused.err;
    EXPECT_EQ(client.find("com.ex.Other"), Status::NotFound);
    EXPECT_EQ(daemon.client({"--keep", "register", "com.ex.Other", "other_ch"}).exitCode, 0);
}

}  // namespace
