// Every svcreg command, and both programs' command lines, against a real daemon: text output
// and the messages people read. client_json_test.sh checks each command's exit code and JSON
// answer, on success and on failure.
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>

#include <gtest/gtest.h>

#include "ChannelClaim.h"
#include "DaemonUnderTest.h"
#include "StandInRegistry.h"
#include "UnixSocket.h"

namespace {

// Each command's text answer, in turn against one daemon.
TEST(ClientCommands, ServiceTableCommandsAnswerAsTheRegistryDoes) {
    DaemonUnderTest daemon({"-v"});
    const struct {
        std::vector<std::string> arguments;
        std::string out;
    } commands[] = {
        {{"reg", "com.ex.Audio com.ex.Volume", "audio_ch"}, "registered\n"},
        {{"reg", "com.ex.Audio", "spare_ch"}, "registered\n"},
        {{"find", "com.ex.Volume"}, "audio_ch\n"},
        {{"find-svc-id", "com.ex.Audio"}, "1\n"},
        {{"getlist", "com.ex.Audio"}, "audio_ch\nspare_ch\n"},
        {{"details"},
         "com.ex.Audio\t1\taudio_ch\ncom.ex.Audio\t2\tspare_ch\ncom.ex.Volume\t1\taudio_ch\n"},
        {{"dereg", "com.ex.Audio", "audio_ch"}, "deregistered\n"},
        {{"reg-invoker", "libA.so", "makeInvoker", "IfcX", "binary"}, "registered\n"},
        {{"reg-proxy", "libB.so", "makeProxy", "IfcX", "binary"}, "registered\n"},
        {{"find-proxy", "IfcX"}, "libB.so makeProxy\n"},
        {{"find-invoker", "IfcX", "binary"}, "libA.so makeInvoker\n"},
        {{"--keep", "register", "IfcR IfcS", "remote_ch"}, "registered\n"},
        {{"deregister", "IfcR IfcS", "remote_ch"}, "deregistered\n"},
    };
    for (const auto& command : commands) {
        SCOPED_TRACE(command.arguments[0] + " " + command.arguments.back());
        const ClientResult result = daemon.client(command.arguments);
        EXPECT_EQ(result.out, command.out) << result.err;
    }

    // Each change is logged at -v, with who made it.
    EXPECT_TRUE(contains(daemon.process().err(),
                         "Registered 'com.ex.Volume' at channel 'audio_ch', service id 1, by pid"));
    EXPECT_TRUE(contains(daemon.process().err(), "Removed 'com.ex.Audio' at channel 'audio_ch'"));
}

// A trusted registry whose answer carries a service id that is not one: the reply is said to be
// malformed, and no id is made up.
TEST(ClientCommands, AServiceIdThatIsNotOneIsAMalformedReply) {
    StandInRegistry registry("found_svc_id:none", "none");
    ASSERT_TRUE(registry.started);
    const TempDirectory outputs;
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"find-svc-id", "com.ex.A"}, {"register", "com.ex.A", "a_ch"}}) {
        const ClientResult result =
            runClient(registry.runtimeDirectory(), arguments, outputs.path() + "/" + arguments[0]);
        EXPECT_EQ(result.exitCode, 1) << result.out;
        EXPECT_TRUE(contains(result.err, "is malformed")) << result.err;
    }
}

TEST(ClientCommands, ListAndStatusReportEntriesWithTheirOwnersAndTheDaemonItself) {
    DaemonUnderTest daemon;
    // A channel this process serves from the runtime directory: its process is watched.
    std::string error;
    const std::unique_ptr<svcreg::ChannelClaim> served = svcreg::ChannelClaim::claim(
        svcreg::RuntimeDirectory(daemon.runtimeDirectory()), "srv_ch", svcreg::UniqueFd(), error);
    ASSERT_NE(served, nullptr) << error;
    daemon.client({"reg", "com.ex.Served", "srv_ch"});
    daemon.client({"reg", "com.ex.Elsewhere", "far_ch"});
    daemon.client({"reg-proxy", "libB.so", "makeProxy", "IfcX", "binary"});
    const std::string pid = std::to_string(getpid());
    const std::string expected =
        "com.ex.Elsewhere\t2\tfar_ch\t\t-\troot\ncom.ex.Served\t1\tsrv_ch\t\t" + pid + "\troot\n";
    EXPECT_TRUE(eventually([&] { return daemon.client({"list"}).out == expected; }))
        << daemon.client({"list"}).out;
    // On a terminal (script(1) gives it one), columns under a header.
    const TempDirectory outputs;
    ChildProcess onTerminal(
        {"/usr/bin/script", "-qec",
         std::string(SVCREG_PATH) + " --runtime-dir " + daemon.runtimeDirectory() + " list",
         "/dev/null"},
        outputs.path() + "/terminal");
    EXPECT_EQ(onTerminal.wait(), 0) << onTerminal.err();
    const std::size_t pidWidth = std::max<std::size_t>(pid.size(), 3);
    EXPECT_TRUE(contains(onTerminal.out(), "INTERFACE         ID  CHANNEL  DEVICE  " +
                                               std::string(pidWidth - 3, ' ') +
                                               "PID  USER\r\ncom.ex.Elsewhere   2  far_ch   " +
                                               std::string(8 + pidWidth - 1, ' ') + "-  root\r\n"))
        << onTerminal.out();

    const ClientResult status = daemon.client({"status"});
    for (const std::string& line :
         {"pid:          " + std::to_string(daemon.process().pid()) + "\n",
          "runtime-dir:  " + daemon.runtimeDirectory() + "\n", std::string("entries:      2\n"),
          std::string("creators:     1\n")}) {
        EXPECT_TRUE(contains(status.out, line)) << line << " in\n" << status.out;
    }
}

// Names may hold control characters only where the administrator lets them (refused otherwise:
// RegistryGate.RefusesByPolicyOwnerAndQuotaWithTheReason); the client shows each escaped in
// every text output, so that no name acts on the terminal or forges a row. C1 controls (CSI
// here, as UTF-8 and as a lone byte) act as ESC does; other UTF-8 is shown as it is.
TEST(ClientCommands, ControlCharactersInNamesAreShownEscaped) {
    const std::string name =
                          "com.ex.\tX\x1b[2K\\\xc2\x9b"
                          "2J\x9b\xc3\xa9",
                      channel = "c\nroot";
    DaemonUnderTest daemon({"--allow-control-characters"});
    ASSERT_EQ(daemon.client({"reg", name, channel}).exitCode, 0);
    const std::string shownName = "com.ex.\\tX\\x1b[2K\\\\\\xc2\\x9b2J\\x9b\xc3\xa9",
                      shownChannel = "c\\nroot";
    EXPECT_EQ(daemon.client({"list"}).out, shownName + "\t1\t" + shownChannel + "\t\t-\troot\n");
    EXPECT_EQ(daemon.client({"details"}).out, shownName + "\t1\t" + shownChannel + "\n");
    EXPECT_EQ(daemon.client({"find", name}).out, shownChannel + "\n");
    EXPECT_TRUE(contains(daemon.client({"--json", "details"}).out, "\"c\\nroot\""));
}

// True while a thread of pid sleeps in clock_nanosleep, as a client pausing before it tries a
// busy peer again does.
bool pausing(pid_t pid) {
    return someThread(pid, [](const std::string& task) {
        long call = -1;
        std::ifstream(task + "/syscall") >> call;
        return call == SYS_clock_nanosleep || call == SYS_nanosleep;
    });
}

// --timeout bounds a command from its start to its end, the table's request, retries and a
// change's confirmation included; the message says how long it waited, and that a change left
// unanswered may have been made. A full backlog, though, is waited out. A client with a current
// table knows a miss of what is not declared without asking: a request would end "no reply".
TEST(CommandLines, TimeoutBoundsEachCommandAgainstAStoppedDaemonAndAnUndeclaredMissAsksNothing) {
    DaemonUnderTest daemon;
    ASSERT_EQ(daemon.client({"--keep", "register", "com.ex.Early", "early_ch"}).exitCode, 0);
    svcreg::RegistryClient reader(daemon.clientOptions());
    ASSERT_TRUE(reader.open());
    ASSERT_TRUE(reader.find("com.ex.Early"));
    daemon.process().signal(SIGSTOP);
    // Resumed however the test ends, so that the daemon can stop.
    struct Resume {
        ChildProcess& daemon;
        ~Resume() { daemon.signal(SIGCONT); }
    } resume{daemon.process()};
    ASSERT_TRUE(eventually([&] { return everyThreadStopped(daemon.process().pid()); }));
    EXPECT_EQ(reader.find("com.ex.Nobody").reason(), "'com.ex.Nobody' not found");
    EXPECT_FALSE(reader.isDeclared("com.ex.Nobody").value());
    EXPECT_EQ(reader.wait("com.ex.Nobody", std::chrono::seconds(20), svcreg::WaitMode::IfDeclared)
                  .reason(),
              "'com.ex.Nobody' is not declared");

    constexpr long kBoundMs = 1300;
    const std::vector<std::string> commands[] = {
        {"find", "com.ex.Early"},          {"getlist", "com.ex.Early"},
        {"wait", "com.ex.Late"},           {"register", "com.ex.Late", "late_ch"},
        {"reg", "com.ex.Late", "late_ch"}, {"list"},
    };
    for (const std::vector<std::string>& command : commands) {
        SCOPED_TRACE(command[0]);
        std::vector<std::string> arguments = {"--timeout=1"};
        arguments.insert(arguments.end(), command.begin(), command.end());
        const auto start = Clock::now();
        const ClientResult result = daemon.client(arguments);
        const long took =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        EXPECT_LT(took, kBoundMs);
        EXPECT_NE(result.exitCode, 0);
        const auto within = result.err.find("within ");
        ASSERT_NE(within, std::string::npos) << result.err;
        const long waited = std::atol(result.err.c_str() + within + 7);
        EXPECT_GE(waited, 1000) << result.err;
        EXPECT_LE(waited, took) << result.err;
        if (command.size() == 3) {
            EXPECT_TRUE(contains(result.err, "the change may or may not have been made"));
        }
    }

    // A wait shorter than the client's timeout ends by its own, the table's request included.
    svcreg::ClientOptions options = daemon.clientOptions();
    options.timeout = std::chrono::seconds(5);
    svcreg::RegistryClient client(options);
    ASSERT_TRUE(client.open());
    const auto start = Clock::now();
    EXPECT_FALSE(client.wait("com.ex.Late", std::chrono::seconds(1)));
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(kBoundMs));

    std::vector<svcreg::UniqueFd> backlog(1);
    while (svcreg::connectTo(daemon.socketPath(), backlog.back()) ==
           svcreg::ConnectResult::Connected) {
        backlog.emplace_back();
    }
    const auto lookup = daemon.startClient({"--reply-timeout", "20", "find", "com.ex.Early"});
    // Let go only once the client found the backlog full: it pauses before it tries again.
    ASSERT_TRUE(eventually([&] { return pausing(lookup->pid()); }));
    daemon.process().signal(SIGCONT);
    backlog.clear();
    EXPECT_EQ(lookup->wait(), 0) << lookup->err();
    EXPECT_EQ(lookup->out(), "early_ch\n");
    // The unconfirmed changes were made after all.
    EXPECT_TRUE(eventually([&] { return daemon.client({"find", "com.ex.Late"}).exitCode == 0; }));
}

TEST(CommandLines, UsageErrorsTakeOneLineAndEachUnreachableRegistryIsToldWhy) {
    DaemonUnderTest daemon;
    daemon.client({"reg", "X", "x_ch"});
    struct Case {
        std::vector<std::string> arguments;
        int exitCode;
        std::string message;
    };
    const std::string stale = daemon.runtimeDirectory() + "/stale";
    // Unknown commands, missing arguments and unreachable registries that client_json_test.sh
    // fails by their kind and exit code are its alone.
    const Case cases[] = {
        {{}, 2, "svcreg: no command given. Try 'svcreg --help'.\n"},
        {{"--frob", "find", "X"}, 2, "svcreg: unknown option '--frob'. Try 'svcreg --help'.\n"},
        {{"find", "X", "--channel"}, 2, "svcreg: option '--channel' needs a value."},
        {{"reg", " ", "c"}, 2, "needs at least one interface name"},
        {{"--timeout", "soon", "wait", "X"}, 2, "--timeout takes seconds"},
        {{"--channel=a/b", "find", "X"}, 2, "invalid channel 'a/b'"},
        {{"--channel=stale", "register", "X", "c"}, 3, "nobody listens at '" + stale + "'"},
        // Another device's registry: NAME@DEVICE, reached through this device's gateway.
        {{"--channel=svcreg@", "find", "X"},
         2,
         "invalid channel 'svcreg@': a channel of another device is NAME@DEVICE, DEVICE being"},
        {{"--channel=svcreg@B/C", "details"}, 2, "DEVICE being 1 to 63 letters"},
        {{"--channel=@B", "details"}, 2, "NAME being the channel there, with no '@'"},
        {{"--channel=:private@B", "details"}, 2, "and not private"},
        {{"--channel=a/b@B", "details"}, 2, "invalid channel 'a/b@B': a channel name cannot hold"},
        {{"--channel=svcreg@B", "details"},
         3,
         "device B cannot be reached: there is no socket '" + daemon.runtimeDirectory() + "/@'"},
        {{"--channel=svcreg@B", "register", "X", "c"}, 3, "device B cannot be reached"},
        // Options stand anywhere, with their values either way.
        {{"-vv", "--timeout=5", "--if-declared", "wait", "X"}, 0, ""},
        {{"wait", "--timeout", "0.2", "Y"}, 1, "'Y' was not registered within 200 ms"},
        // Nothing declared: a wait for an interface nobody registered ends at once.
        {{"wait", "--if-declared", "com.ex.Nobody"}, 1, "'com.ex.Nobody' is not declared"},
    };
    // A socket nobody listens at any more, as a crashed process leaves it.
    std::string error;
    ASSERT_TRUE(svcreg::listenAt(stale, error).valid()) << error;
    for (const Case& c : cases) {
        const ClientResult result = daemon.client(c.arguments);
        EXPECT_EQ(result.exitCode, c.exitCode) << c.arguments[0] << ": " << result.err;
        EXPECT_TRUE(contains(result.err, c.message)) << result.err;
        if (c.exitCode == 2) {
            EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
        }
    }
    const TempDirectory outputs;
    ChildProcess version({SVCREGD_PATH, "--version"}, outputs.path() + "/version");
    EXPECT_EQ(version.wait(), 0);
    EXPECT_EQ(version.out(), "svcregd " PROJECT_VERSION "\n");
    ChildProcess unknown({SVCREGD_PATH, "-vvvx"}, outputs.path() + "/unknown");
    EXPECT_EQ(unknown.wait(), 2);
    EXPECT_EQ(unknown.err(), "svcregd: unknown option '-x'. Try 'svcregd --help'.\n");
}

}  // namespace
