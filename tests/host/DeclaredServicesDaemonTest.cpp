// Declared services started by the real daemon on the first lookup, through svcreg-launch as
// root (which alone may run it, unless it is the registry's user), else through a stand-in that
// execs the declared program as it does (tests/support/stand-in-launch.sh): the example service,
// which registers its interface and serves its channel; svcreg registering an interface;
// programs that exit at once or never register. The client's side too, with a shared table and
// without one.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "DaemonUnderTest.h"
#include "RegistryStatusProtocol.h"
#include "StatusLine.h"
#include "UnixSocket.h"

using namespace svcreg;
namespace Wire = RegistryStatusProtocol;
using ::testing::HasSubstr;

namespace {

constexpr char kCamera[] = "com.example.Camera";

void declare(const std::string& folder, const std::string& name, const std::string& text) {
    const std::string path = folder + "/" + name + ".service";
    std::ofstream(path) << text;
    chmod(path.c_str(), 0644);
}

// The declarations of the tests: the example service, two that register their interface with
// svcreg and end, a program that exits 1, one that never registers.
std::string declarations(const TempDirectory& folder) {
    declare(folder.path(), "camera",
            "Interfaces=com.example.Camera\nChannel=declared_camera\nExec=" EXAMPLE_SERVICE_PATH
            " --serve declared_camera\n");
    for (const std::string name : {"numbered", "listed"}) {
        const std::string ifc = "test." + name;
        declare(folder.path(), name,
                "Interfaces=" + ifc + "\nChannel=" + name + "\nExec=" SVCREG_PATH " reg " + ifc +
                    " " + name + "\n");
    }
    declare(folder.path(), "broken", "Interfaces=test.Broken\nChannel=broken\nExec=/bin/false\n");
    declare(folder.path(), "silent",
            "Interfaces=test.Silent\nChannel=silent\nExec=/bin/sleep 60\n");
    return folder.path();
}

std::string launcher() {
    return std::string("--launcher=") + (geteuid() == 0 ? LAUNCHER_PATH : STAND_IN_LAUNCHER);
}

svcreg::ClientOptions within(svcreg::ClientOptions options, std::chrono::milliseconds timeout) {
    options.timeout = timeout;
    return options;
}

// The daemon with those declarations and options, and a client of it whose requests take at
// most timeout.
class DeclaredServicesDaemon : public ::testing::Test {
protected:
    explicit DeclaredServicesDaemon(const std::vector<std::string>& options = {"--start-timeout=1",
                                                                               "--group", "users"},
                                    std::chrono::milliseconds timeout = std::chrono::seconds(5))
        : daemon(withDeclarations(options)), client(within(daemon.clientOptions(), timeout)) {}
    // The example service serves until told to end, and outlives the daemon that started it.
    ~DeclaredServicesDaemon() override {
        const std::vector<std::string> camera = line.declaredRows()["camera"];
        if (camera.size() == Wire::kDeclaredFields && !camera[5].empty()) {
            kill(std::stoi(camera[5]), SIGTERM);
        }
    }

    std::vector<std::string> withDeclarations(std::vector<std::string> options) {
        options.insert(options.begin(), {"--services-dir=" + declarations(folder), launcher()});
        return options;
    }

    TempDirectory folder;
    DaemonUnderTest daemon;
    StatusLine line{daemon.runtimeDirectory()};
    RegistryClient client;
};

// Many ask at once: one start, everyone answered once it has registered; its end makes it idle,
// and the next lookup starts it again.
TEST_F(DeclaredServicesDaemon, StartsOnceForManyAskersAndFailsWithWhyAndSighupReadsThemAgain) {
    ASSERT_TRUE(client.open());
    EXPECT_EQ(line.tableState(kCamera), "idle");
    EXPECT_EQ(line.tableState("test.Nobody"), "undeclared");
    EXPECT_EQ(line.start("test.Nobody"), "undeclared");

    std::vector<std::string> answers(20);
    std::vector<std::thread> askers;
    for (std::string& answer : answers) {
        askers.emplace_back([&] { answer = line.start(kCamera); });
    }
    for (std::thread& asker : askers) asker.join();
    for (const std::string& answer : answers) {
        EXPECT_TRUE(answer == "starting" || answer == "running") << answer;
    }
    ASSERT_TRUE(client.wait(kCamera, std::chrono::seconds(10))) << daemon.process().err();
    EXPECT_EQ(line.fact("service.camera"), "running");
    EXPECT_EQ(line.tableState(kCamera), "running");
    std::vector<std::string> row = line.declaredRows()["camera"];
    ASSERT_EQ(row.size(), Wire::kDeclaredFields);
    EXPECT_EQ(row[1], "running");
    EXPECT_EQ(row[3], "declared_camera");
    EXPECT_EQ(row[4], kCamera);
    ASSERT_FALSE(row[5].empty());
    // The service says so once its registration's answer is back, after the table showed it.
    EXPECT_TRUE(eventually([&] {
        return occurrences(daemon.process().out(), "at 'declared_camera' as service") == 1u;
    }));
    EXPECT_FALSE(contains(daemon.process().err(), "example-service:")) << "started twice";

    kill(std::stoi(row[5]), SIGTERM);
    EXPECT_TRUE(eventually([&] { return line.tableState(kCamera) == "idle"; }));
    EXPECT_EQ(line.fact("service.camera"), "idle");
    // The lookup itself starts it again, and answers once it has registered.
    const Result<std::string> found = client.find(kCamera);
    ASSERT_TRUE(found) << found.reason() << daemon.process().err();
    EXPECT_EQ(*found, "declared_camera");
    kill(std::stoi(line.declaredRows()["camera"][5]), SIGTERM);
    EXPECT_TRUE(eventually([&] { return line.tableState(kCamera) == "idle"; }));

    // A start that fails is told with its reason, and the lookups meanwhile fail at once.
    const struct {
        const char* ifc;
        const char* name;
        const char* reason;
    } cases[] = {{"test.Broken", "broken", "failed: could not start: exit 1"},
                 {"test.Silent", "silent", "failed: did not register within 1 s"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(line.start(c.ifc), "starting");
        EXPECT_TRUE(eventually([&] { return line.tableState(c.ifc) == "failed"; }));
        EXPECT_EQ(line.start(c.ifc), c.reason);
        EXPECT_EQ(line.fact(std::string("service.") + c.name), c.reason);
        EXPECT_TRUE(daemon.logged(std::string("Declared service '") + c.name + "' failed"));
        // A start that timed out is failed first, then killed and reaped.
        EXPECT_TRUE(eventually([&] { return line.declaredRows()[c.name][5].empty(); }))
            << "its process is reaped";
    }
    // SIGHUP reads the declarations again: the new ones are in force, a bad one is logged naming
    // its file, and the others keep their state.
    // A socket-activated service's entry is there as soon as it is declared and the service
    // manager's socket is at its channel, with nothing started: the service manager starts it at
    // the socket's first connection. Removed, the entry is made again; a socket of someone else's
    // at the channel (a member's, planted while the manager's is not there) takes it away; the
    // declaration gone, it goes too.
    const std::string socketPath = daemon.runtimeDirectory() + "/sockcam";
    std::string error;
    const UniqueFd managers = listenAt(socketPath, error);  // as a service manager makes it
    ASSERT_TRUE(managers.valid()) << error;
    declare(folder.path(), "fresh", "Interfaces=test.Fresh\nChannel=fresh\nExec=/bin/true\n");
    // Another user's entry of an interface newly declared goes, as its registration now would
    // be refused.
    if (geteuid() == 0) {
        ASSERT_EQ(chmod(daemon.runtimeDirectory().c_str(), 0755), 0);
        const ClientResult member = daemon.client({"--keep", "register", "test.Fresh", "early"},
                                                  asUser(kNobody, kNogroup, {kUsers}));
        ASSERT_EQ(member.exitCode, 0) << member.err;
    }
    declare(folder.path(), "bad", "Interfaces=test.Bad\nNoSuchKey=1\n");
    // Its channel's lock held by this process, of another user than the service's.
    declare(folder.path(), "held",
            std::string("Interfaces=test.Held\nChannel=held\nExec=/bin/true\nUser=") +
                (geteuid() == 0 ? "nobody" : "root") + "\n");
    const UniqueFd held(open((daemon.runtimeDirectory() + "/.held.lock").c_str(),
                             O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    ASSERT_EQ(flock(held.get(), LOCK_EX), 0);
    declare(folder.path(), "sockcam",
            "Interfaces=test.Socket\nChannel=sockcam\nActivation=socket\nUser=" +
                std::string(getpwuid(geteuid())->pw_name) + "\n");
    daemon.process().signal(SIGHUP);
    EXPECT_TRUE(daemon.logged("loaded 8 declared services"));
    EXPECT_TRUE(daemon.logged(folder.path() + "/bad.service:"));
    EXPECT_TRUE(line.isDeclared("test.Fresh"));
    if (geteuid() == 0) {
        EXPECT_TRUE(daemon.logged("Removed the entry 'test.Fresh' at 'early' of service id"));
        EXPECT_TRUE(daemon.logged("of uid 65534: interface 'test.Fresh' belongs to declared"));
    }
    EXPECT_FALSE(line.isDeclared("test.Bad"));
    EXPECT_EQ(line.tableState("test.Fresh"), "idle");
    EXPECT_EQ(line.tableState("test.Broken"), "failed");
    EXPECT_EQ(line.start("test.Held"),
              "failed: could not start: the channel 'held' is held by pid " +
                  std::to_string(getpid()) + " of uid " + std::to_string(geteuid()));
    const Result<std::string> socketFound = client.find("test.Socket");
    ASSERT_TRUE(socketFound) << socketFound.reason();
    EXPECT_EQ(*socketFound, "sockcam");
    EXPECT_EQ(line.start("test.Socket"), "running");
    EXPECT_TRUE(line.declaredRows()["sockcam"][5].empty()) << "nothing was started";

    ASSERT_TRUE(client.dereg({"test.Socket"}, "sockcam"));
    EXPECT_TRUE(eventually([&] { return line.tableState("test.Socket") == "running"; }));
    EXPECT_EQ(*client.find("test.Socket"), "sockcam");

    if (geteuid() == 0) {
        ASSERT_EQ(chown(socketPath.c_str(), 65534, 65534), 0);
        EXPECT_TRUE(eventually([&] { return line.tableState("test.Socket") == "idle"; }));
        EXPECT_TRUE(daemon.logged("a socket of uid 65534"));
        ASSERT_EQ(chown(socketPath.c_str(), 0, 0), 0);
        EXPECT_TRUE(eventually([&] { return line.tableState("test.Socket") == "running"; }));
    }

    ASSERT_EQ(unlink((folder.path() + "/sockcam.service").c_str()), 0);
    daemon.process().signal(SIGHUP);
    EXPECT_TRUE(eventually([&] { return !line.isDeclared("test.Socket"); }));
    // Its entry goes just after the declaration, as the reload's own change.
    EXPECT_TRUE(
        eventually([&] { return client.find("test.Socket").status() == Status::NotFound; }));
}

// Without a state directory the daemon shares no table: the client asks it whether an interface
// is declared and to start its service, then asks again until the service has registered, its
// start failed, or the request's timeout.
class DeclaredStartsWithoutTable : public DeclaredServicesDaemon {
protected:
    DeclaredStartsWithoutTable()
        : DeclaredServicesDaemon({"--start-timeout=10", "--state-dir="},
                                 std::chrono::milliseconds(1500)) {}
};

TEST_F(DeclaredStartsWithoutTable,
       LookupsStartADeclaredServiceAndAnswerOnceItRegisteredOrSayWhyNot) {
    ASSERT_TRUE(client.open());
    const struct {
        std::string ifc;
        std::function<Outcome()> lookUp;
        Status status;
        std::string reason;  // a part of it
    } cases[] = {
        {kCamera, [&] { return Outcome(client.find(kCamera)); }, Status::Done, ""},
        {"test.numbered", [&] { return Outcome(client.findSvcId("test.numbered")); }, Status::Done,
         ""},
        {"test.listed", [&] { return Outcome(client.getList("test.listed")); }, Status::Done, ""},
        {"test.Broken", [&] { return Outcome(client.find("test.Broken")); }, Status::Refused,
         "'test.Broken' could not start: exit 1"},
        {"test.Silent", [&] { return Outcome(client.getList("test.Silent")); }, Status::NotFound,
         "'test.Silent' did not register within 1.5 s"},
        {"test.Nobody", [&] { return Outcome(client.find("test.Nobody")); }, Status::NotFound,
         "'test.Nobody' not found"},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.ifc);
        const Outcome outcome = test.lookUp();
        EXPECT_EQ(outcome, test.status) << outcome.reason();
        EXPECT_THAT(outcome.reason(), HasSubstr(test.reason));
    }
    EXPECT_EQ(client.find(kCamera).value(), "declared_camera");
}

TEST_F(DeclaredStartsWithoutTable,
       IsDeclaredAndWaitsAskTheRegistryAHitStartsNothingAndAWaitEndsByInterruption) {
    ASSERT_TRUE(client.open());
    EXPECT_TRUE(client.isDeclared(kCamera).value());
    const Result<bool> none = client.isDeclared("test.Nobody");
    ASSERT_TRUE(none) << none.reason();
    EXPECT_FALSE(none.value());
    // A hit asks for no start: a declared interface registered elsewhere is found, and its
    // service stays idle.
    ASSERT_TRUE(client.registerInterfaces({"test.Broken"}, "elsewhere"));
    EXPECT_EQ(*client.find("test.Broken"), "elsewhere");
    EXPECT_EQ(line.declaredRows()["broken"][1], "idle");
    const Outcome nobody =
        client.wait("test.Nobody", std::chrono::seconds(20), WaitMode::IfDeclared);
    EXPECT_EQ(nobody, Status::NotFound);
    EXPECT_EQ(nobody.reason(), "'test.Nobody' is not declared");
    const Outcome started = client.wait(kCamera, std::chrono::seconds(20), WaitMode::IfDeclared);
    EXPECT_TRUE(started) << started.reason();
    // Before the wait begins or while it runs: either way the interruption ends it.
    std::thread interrupter([&] { client.interrupt(); });
    EXPECT_EQ(client.wait("test.Silent", std::chrono::seconds(20)), Status::Interrupted);
    interrupter.join();
}

}  // namespace
