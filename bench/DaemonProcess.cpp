#include "DaemonProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "BenchSockets.h"

using namespace svcreg;

extern char** environ;

namespace {

constexpr char kRegistryChannel[] = "svcreg";

bool waitUntilServing(const std::string& socketPath) {
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const int fd = connectBlocking(socketPath);
        if (fd >= 0) {
            close(fd);
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

}  // namespace

DaemonProcess::DaemonProcess() {
    char pattern[] = "/tmp/svcreg-bench-XXXXXX";
    directory = mkdtemp(pattern);
    std::vector<std::string> arguments = {SVCREGD_PATH, "--runtime-dir", directory};
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    if (posix_spawn(&pid, SVCREGD_PATH, &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    if (pid > 0 && !waitUntilServing(directory + "/" + kRegistryChannel)) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        pid = -1;
    }
}

DaemonProcess::~DaemonProcess() {
    if (pid > 0) {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
    std::error_code ignored;
    std::filesystem::remove_all(directory, ignored);
}

long DaemonProcess::residentKiB() const {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    }
    return -1;
}

FrameClient::FrameClient(const DaemonProcess& daemon, const std::string& ownChannel)
    : channel(ownChannel), socketPath(daemon.runtimeDirectory() + "/" + ownChannel) {
    listener = listenBlocking(socketPath);
    if (listener >= 0)
        toDaemon = connectBlocking(daemon.runtimeDirectory() + "/" + kRegistryChannel);
}

FrameClient::~FrameClient() {
    for (int fd : {fromDaemon, toDaemon, listener}) {
        if (fd >= 0) close(fd);
    }
    unlink(socketPath.c_str());
}

bool FrameClient::tell(const std::string& text) {
    Frame frame;
    frame.kind = Frame::Kind::Message;
    frame.requestId = nextRequestId++;
    frame.destination = kRegistryChannel;
    frame.source = channel;
    frame.data = text;
    std::string bytes;
    appendEncodedFrame(frame, bytes);
    requestSize = bytes.size();
    return writeAll(toDaemon, bytes);
}

bool FrameClient::find(const std::string& ifc, std::string& answer) {
    if (!tell("find:" + ifc + "," + channel)) return false;
    if (fromDaemon < 0) fromDaemon = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    Frame reply;
    if (fromDaemon < 0 || !readFrame(fromDaemon, replies, reply)) return false;
    if (replySize == 0) {
        std::string encoded;
        appendEncodedFrame(reply, encoded);
        replySize = encoded.size();
    }
    answer = std::move(reply.data);
    return true;
}
