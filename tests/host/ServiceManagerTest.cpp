// The daemon under a service manager such as systemd: the readiness notification, a listening
// socket passed in, and log lines with journal priorities.
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "DaemonUnderTest.h"
#include "UnixSocket.h"

using namespace svcreg;

namespace {

TEST(ServiceManager, ReadinessIsSentOnceTheChannelAcceptsConnections) {
    TempDirectory outputs;
    // A datagram socket where the notifications arrive, as a service manager has.
    const std::string path = outputs.path() + "/notify";
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof(address.sun_path) - 1);
    const UniqueFd notifications(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    ASSERT_EQ(bind(notifications.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    const timeval timeout{10, 0};
    setsockopt(notifications.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    const auto next = [&] {
        char buffer[256];
        const ssize_t got = recv(notifications.get(), buffer, sizeof(buffer), 0);
        return got > 0 ? std::string(buffer, got) : std::string();
    };
    setenv("NOTIFY_SOCKET", path.c_str(), 1);  // for the daemon started next
    DaemonUnderTest daemon;
    unsetenv("NOTIFY_SOCKET");
    EXPECT_EQ(next(), "READY=1");
    EXPECT_TRUE(daemon.serving());
    daemon.process().signal(SIGTERM);
    EXPECT_EQ(next(), "STOPPING=1");
}

// As a service manager starts it: the socket as descriptor 3 with the variables naming it, and
// standard error the journal's stream. It serves that socket, leaves its file behind, and its
// lines carry their priority, then their level, and no time: the journal stamps its own.
TEST(ServiceManager, ServesTheSocketItIsGivenAndLogsWithPrioritiesToTheJournal) {
    TempDirectory runtime, outputs;
    std::string error;
    const std::string socketPath = runtime.path() + "/svcreg";
    UniqueFd listener = listenAt(socketPath, error);
    ASSERT_TRUE(listener.valid()) << error;
    const std::string prefix = outputs.path() + "/d";
    std::fclose(std::fopen((prefix + ".err").c_str(), "w"));
    struct stat status {};
    ASSERT_EQ(stat((prefix + ".err").c_str(), &status), 0);
    const std::string stream = std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino);
    setenv("JOURNAL_STREAM", stream.c_str(), 1);  // for the daemon started next
    const int inheritable = dup(listener.get());
    const std::string script = "exec 3<&" + std::to_string(inheritable) + " " +
                               std::to_string(inheritable) +
                               "<&-; LISTEN_PID=$$ LISTEN_FDS=1 exec \"$0\" --runtime-dir \"$1\" "
                               "--state-dir \"$1/.state\" --policy= -vv";
    ChildProcess daemon({"/bin/sh", "-c", script, SVCREGD_PATH, runtime.path()}, prefix);
    unsetenv("JOURNAL_STREAM");
    close(inheritable);
    listener = UniqueFd();

    EXPECT_EQ(
        runClient(runtime.path(), {"reg", "com.ex.J", "j_ch"}, outputs.path() + "/r").exitCode, 0);
    EXPECT_EQ(runClient(runtime.path(), {"find", "com.ex.J"}, outputs.path() + "/f").out, "j_ch\n");
    const UniqueFd garbage(connectRaw(socketPath));
    ASSERT_TRUE(sendAll(garbage.get(), "not a frame at all"));
    EXPECT_TRUE(eventually([&] { return contains(daemon.err(), "<3>"); }));
    daemon.signal(SIGTERM);
    EXPECT_EQ(daemon.wait(), 0) << daemon.err();
    EXPECT_EQ(access(socketPath.c_str(), F_OK), 0);  // the manager's file, not the daemon's
    const std::string err = daemon.err();
    EXPECT_TRUE(contains(err, "\n<6>L4 ")) << err;  // information
    EXPECT_TRUE(contains(err, "Registered interface 'com.ex.J'"));
    EXPECT_TRUE(contains(err, "<3>L2 HostRuntime ")) << err;  // a failure: an error
}

}  // namespace
