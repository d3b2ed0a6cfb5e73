#include "DaemonProcess.h"

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "BenchSockets.h"

using namespace svcreg;

namespace {

constexpr char kRegistryChannel[] = "svcreg";

}  // namespace

namespace {

std::vector<std::string> daemonCommand(const std::string& directory,
                                       const std::vector<std::string>& arguments,
                                       std::vector<std::string> runUnder) {
    // Its own files inside the runtime directory, so that they go with it; no policy file.
    runUnder.insert(runUnder.end(), {SVCREGD_PATH, "--runtime-dir", directory, "--state-dir",
                                     directory + "/.state", "--policy="});
    runUnder.insert(runUnder.end(), arguments.begin(), arguments.end());
    return runUnder;
}

}  // namespace

// The first field of each thread's schedstat is the time it ran, in nanoseconds.
double DaemonProcess::cpuNanoseconds() const {
    const std::string tasks = "/proc/" + std::to_string(process.pid()) + "/task";
    double total = 0;
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
        std::ifstream schedstat(task.path() / "schedstat");
        double ran = 0;
        if (schedstat >> ran) total += ran;
    }
    return total;
}

DaemonProcess::DaemonProcess(const std::vector<std::string>& extraArguments,
                             const std::vector<std::string>& runUnder)
    : process(daemonCommand(directory.path(), extraArguments, runUnder),
              outputs.path() + "/svcregd"),
      ready(eventually([this] { return accepting(directory.path() + "/" + kRegistryChannel); })) {}

void DaemonProcess::kill() {
    process.signal(SIGKILL);
    process.wait();
}

DaemonProcess::~DaemonProcess() {
    process.signal(SIGTERM);
    process.wait();
}

FrameClient::FrameClient(const DaemonProcess& daemon, const std::string& ownChannel)
    : channel(ownChannel), socketPath(daemon.runtimeDirectory() + "/" + ownChannel) {
    listener = listenBlocking(socketPath);
    if (listener >= 0) toDaemon = connectRaw(daemon.runtimeDirectory() + "/" + kRegistryChannel);
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
    return sendAll(toDaemon, bytes);
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
