// Programs under a service manager such as systemd: the daemon's readiness notification, and a
// listening socket passed in, to the daemon and to a service of another user; log lines with
// journal priorities.
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "DaemonUnderTest.h"
#include "EchoCalls.h"
#include "FrameCodec.h"
#include "UnixSocket.h"

using namespace svcreg;

namespace {

// A socket of type bound at path, not listening.
UniqueFd boundAt(int type, const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof(address.sun_path) - 1);
    UniqueFd socket(::socket(AF_UNIX, type | SOCK_CLOEXEC, 0));
    EXPECT_EQ(bind(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    return socket;
}

// program, started as a service manager starts a service: sockets as descriptors 3 on,
// $LISTEN_PID its own pid (bash's, which it becomes), the sockets' names in $LISTEN_FDNAMES
// unless names is empty; run through runAs (see asUser).
std::unique_ptr<ChildProcess> startActivated(const std::vector<std::string>& program,
                                             const std::vector<int>& sockets,
                                             const std::string& names,
                                             const std::string& outputPrefix,
                                             const std::vector<std::string>& runAs = {}) {
    std::vector<UniqueFd> inherited;  // above the descriptors they become, open across exec
    std::string moves = "exec", closes;
    for (std::size_t i = 0; i < sockets.size(); ++i) {
        inherited.emplace_back(fcntl(sockets[i], F_DUPFD, 10));
        const std::string copy = std::to_string(inherited.back().get());
        moves += " " + std::to_string(3 + i) + "<&" + copy;
        closes += " " + copy + "<&-";
    }
    const std::string script =
        moves + closes + "; LISTEN_PID=$$ LISTEN_FDS=" + std::to_string(sockets.size()) +
        (names.empty() ? "" : " LISTEN_FDNAMES=" + names) + " exec \"$0\" \"$@\"";
    std::vector<std::string> command = runAs;
    command.insert(command.end(), {"/bin/bash", "-c", script});
    command.insert(command.end(), program.begin(), program.end());
    return std::make_unique<ChildProcess>(command, outputPrefix);
}

// As a service manager starts it: the socket as descriptor 3 with the variables naming it (by
// the socket unit's own name, as svcregd.socket sets no FileDescriptorName=), a datagram socket
// for its notifications, and standard error the journal's stream. It tells its readiness and its
// stop, serves that socket, leaves its file behind, and its lines carry their priority, then
// their level, and no time: the journal stamps its own.
TEST(ServiceManager, ServesTheSocketItIsGivenNotifiesAndLogsWithPrioritiesToTheJournal) {
    TempDirectory runtime, outputs;
    std::string error;
    const std::string socketPath = runtime.path() + "/svcreg";
    UniqueFd listener = listenAt(socketPath, error);
    ASSERT_TRUE(listener.valid()) << error;
    const std::string notifyPath = outputs.path() + "/notify";
    const UniqueFd notifications = boundAt(SOCK_DGRAM, notifyPath);
    const timeval timeout{10, 0};
    setsockopt(notifications.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    const auto next = [&] {
        char buffer[256];
        const ssize_t got = recv(notifications.get(), buffer, sizeof(buffer), 0);
        return got > 0 ? std::string(buffer, got) : std::string();
    };
    const std::string prefix = outputs.path() + "/d";
    std::fclose(std::fopen((prefix + ".err").c_str(), "w"));
    struct stat status {};
    ASSERT_EQ(stat((prefix + ".err").c_str(), &status), 0);
    const std::string stream = std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino);
    setenv("JOURNAL_STREAM", stream.c_str(), 1);  // for the daemon started next
    setenv("NOTIFY_SOCKET", notifyPath.c_str(), 1);
    const auto daemon =
        startActivated({SVCREGD_PATH, "--runtime-dir", runtime.path(), "--state-dir",
                        runtime.path() + "/.state", "--policy=", "-vv"},
                       {listener.get()}, "svcregd.socket", prefix);
    unsetenv("JOURNAL_STREAM");
    unsetenv("NOTIFY_SOCKET");
    listener = UniqueFd();

    EXPECT_EQ(next(), "READY=1");
    EXPECT_EQ(
        runClient(runtime.path(), {"reg", "com.ex.J", "j_ch"}, outputs.path() + "/r").exitCode, 0);
    EXPECT_EQ(runClient(runtime.path(), {"find", "com.ex.J"}, outputs.path() + "/f").out, "j_ch\n");
    const UniqueFd garbage(connectRaw(socketPath));
    ASSERT_TRUE(sendAll(garbage.get(), "not a frame at all"));
    EXPECT_TRUE(eventually([&] { return contains(daemon->err(), "<3>"); }));
    daemon->signal(SIGTERM);
    EXPECT_EQ(next(), "STOPPING=1");
    EXPECT_EQ(daemon->wait(), 0) << daemon->err();
    EXPECT_EQ(access(socketPath.c_str(), F_OK), 0);  // the manager's file, not the daemon's
    const std::string err = daemon->err();
    EXPECT_TRUE(contains(err, "\n<6>L4 ")) << err;  // information
    EXPECT_TRUE(contains(err, "Registered interface 'com.ex.J'"));
    EXPECT_TRUE(contains(err, "<3>L2 HostRuntime ")) << err;  // a failure: an error
}

// A service of another user, started as a service manager starts it: the sockets made by root,
// the channel's given to that user as a socket unit's SocketUser= does. It serves the one named
// after its channel and holds the channel's claim, so that the registry finds it as the owner of
// the entries at its channel, and answers it there as a process of that user, though the kernel
// names the manager as the socket's peer; another member is refused there still.
TEST(SocketActivation, AnotherUsersServiceServesThePassedSocketOwnsItsEntriesAndIsAnsweredThere) {
    if (geteuid() != 0) GTEST_SKIP() << "runs the service as another user: needs root";
    DaemonUnderTest daemon({"--group", "users", "-vv"});
    const std::string runtime = daemon.runtimeDirectory();
    ASSERT_EQ(chmod(runtime.c_str(), 01777), 0);  // where the service's claim goes
    std::string error;
    const UniqueFd other = listenAt(runtime + "/other", error);
    const UniqueFd camera = listenAt(runtime + "/camera", error);
    ASSERT_TRUE(other.valid() && camera.valid()) << error;
    ASSERT_EQ(chown((runtime + "/camera").c_str(), kNobody, kUsers), 0);
    ASSERT_EQ(chmod((runtime + "/camera").c_str(), 0660), 0);
    TempDirectory outputs;
    const auto service = startActivated(
        echoServiceCommand(runtime, "camera"), {other.get(), camera.get()}, "other:camera",
        outputs.path() + "/service", asUser(kNobody, kNogroup, {kUsers}));
    ASSERT_TRUE(eventually([&] { return contains(service->out(), kEchoServing); }))
        << service->err();
    ASSERT_EQ(daemon.client({"reg", "com.ex.Camera", "camera"}).exitCode, 0);
    EXPECT_TRUE(daemon.logged("Watching the process of channel 'camera', pid " +
                              std::to_string(service->pid())));

    // Each asks, as a member, for a lookup answered at the channel; forked before this process
    // starts a thread.
    const struct {
        uid_t asker;
        bool answered;
    } askers[] = {{kNobody, true}, {40002, false}};
    for (const auto& ask : askers) {
        SCOPED_TRACE(ask.asker);
        const ForkedAs as{ask.asker, kNogroup, {kUsers}};
        const ForkedProcess asker(
            [&] {
                const UniqueFd connection(connectRaw(daemon.socketPath()));
                std::vector<Frame> refusals;
                return sendAll(connection.get(),
                               textFrame("find:com.ex.Camera,camera", ":asker")) &&
                       barrier(connection.get(), &refusals) && refusals.empty() == ask.answered;
            },
            &as);
        EXPECT_TRUE(asker.started);
    }
    EXPECT_TRUE(eventually([&] { return contains(service->out(), "message found:camera\n"); }));
    EXPECT_EQ(occurrences(service->out(), "message "), 1u);

    EchoCaller caller(runtime);
    ASSERT_EQ(caller.problem(), "");
    EchoAnswer answer;
    EXPECT_TRUE(caller.echo("camera", "hello", answer, std::chrono::seconds(10)));
    EXPECT_EQ(answer.data, "hello");

    // Its end takes its entries, as the watch of its process logged above does of any (DeadOwners,
    // OwnerWatch); the socket's file stays, as the daemon's does (ServesTheSocketItIsGiven...).
    service->signal(SIGTERM);
    EXPECT_EQ(service->wait(), 0) << service->err();
}

// The socket named after the channel, or the only one passed, must listen, as a stream socket,
// at the channel's place: else the service ends, saying which descriptor is wrong and how.
TEST(SocketActivation, APassedSocketOfTheWrongKindOrPlaceIsRefused) {
    TempDirectory runtime, outputs;
    const std::string place = runtime.path() + "/camera";
    std::string error;
    const struct {
        const char* what;
        std::function<UniqueFd()> make;
        const char* names;
        const char* why;
    } cases[] = {
        {"datagram", [&] { return boundAt(SOCK_DGRAM, place); }, "camera",
         "is not a Unix stream socket"},
        {"not listening", [&] { return boundAt(SOCK_STREAM, place); }, "", "is not listening"},
        {"elsewhere", [&] { return listenAt(runtime.path() + "/elsewhere", error); }, "camera",
         "is bound at '"},
    };
    for (const auto& wrong : cases) {
        SCOPED_TRACE(wrong.what);
        unlink(place.c_str());
        const UniqueFd socket = wrong.make();
        const auto service =
            startActivated(echoServiceCommand(runtime.path(), "camera"), {socket.get()},
                           wrong.names, outputs.path() + "/" + wrong.what);
        EXPECT_EQ(service->wait(), 1);
        EXPECT_TRUE(contains(
            service->err(), "cannot serve channel 'camera': the socket passed in as descriptor 3 " +
                                std::string(wrong.why)))
            << service->err();
    }
}

}  // namespace
