#include "DaemonUnderTest.h"

#include <sys/stat.h>

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>

#include <memory>

#include <gtest/gtest.h>

#include "BinaryCodec.h"
#include "ChannelClaim.h"
#include "FrameCodec.h"
#include "Method.h"

using namespace svcreg;

namespace {

// Fails the current test when a sanitizer reported in a child's standard error.
void expectNoSanitizerReport(const std::string& who, const std::string& standardError) {
    EXPECT_EQ(standardError.find("Sanitizer"), std::string::npos) << who << ":\n" << standardError;
}

// svcreg with arguments against the daemon serving runtimeDirectory, run through runAs.
std::vector<std::string> clientCommand(const std::string& runtimeDirectory,
                                       const std::vector<std::string>& arguments,
                                       const std::vector<std::string>& runAs = {}) {
    std::vector<std::string> command = runAs;
    command.insert(command.end(), {SVCREG_PATH, "--runtime-dir", runtimeDirectory});
    command.insert(command.end(), arguments.begin(), arguments.end());
    return command;
}

}  // namespace

DaemonUnderTest::DaemonUnderTest(std::vector<std::string> extraArguments,
                                 const std::vector<std::string>& runUnder)
    : command(runUnder) {
    // No policy file unless the test names one: never the machine's.
    command.insert(command.end(), {SVCREGD_PATH, "--runtime-dir", directory.path(), "--state-dir",
                                   stateDirectory(), "--policy="});
    command.insert(command.end(), extraArguments.begin(), extraArguments.end());
    if (!runUnder.empty()) chmod(directory.path().c_str(), 01777);
    start();
}

DaemonUnderTest::~DaemonUnderTest() {
    restart(SIGTERM, false);
}

void DaemonUnderTest::start() {
    daemonProcess = std::make_unique<ChildProcess>(
        command, outputs.path() + "/daemon" + std::to_string(++starts));
    eventually([this] { return serving(); });
}

void DaemonUnderTest::restart(int signal, bool startAgain) {
    daemonProcess->signal(signal);
    EXPECT_EQ(daemonProcess->wait(), signal == SIGTERM ? 0 : 128 + signal) << daemonProcess->err();
    expectNoSanitizerReport("svcregd", daemonProcess->err());
    if (startAgain) start();
}

ClientResult runClient(const std::string& runtimeDirectory,
                       const std::vector<std::string>& arguments, const std::string& outputPrefix,
                       const std::vector<std::string>& runAs) {
    ChildProcess process(clientCommand(runtimeDirectory, arguments, runAs), outputPrefix);
    const int code = process.wait();
    expectNoSanitizerReport("svcreg", process.err());
    return ClientResult{code, process.out(), process.err()};
}

ClientResult DaemonUnderTest::client(const std::vector<std::string>& arguments,
                                     const std::vector<std::string>& runAs) const {
    return runClient(directory.path(), arguments,
                     outputs.path() + "/client" + std::to_string(++clientCount), runAs);
}

std::unique_ptr<ChildProcess> DaemonUnderTest::startClient(
    const std::vector<std::string>& arguments) const {
    return std::make_unique<ChildProcess>(
        clientCommand(directory.path(), arguments),
        outputs.path() + "/client" + std::to_string(++clientCount));
}

bool barrier(int fd, std::vector<Frame>* before) {
    Method find("findSvcInterface", Method::REQUEST);
    find.addStringParameter("ifc", "com.ex.Barrier", Parameter::IN);
    if (!sendAll(fd, callFrame(find, ""))) return false;
    timeval timeout{20, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    return readFramesUntil(fd, [&](const Frame& frame) {
        if (frame.kind == Frame::Kind::Reply) return true;
        if (before != nullptr) before->push_back(frame);
        return false;
    });
}

bool readFramesUntil(int fd, const std::function<bool(const Frame&)>& take) {
    FrameReader reader;
    char buffer[4096];
    for (;;) {
        Frame frame;
        FrameReader::Status status;
        while ((status = reader.next(frame)) == FrameReader::Status::Ready) {
            if (take(frame)) return true;
        }
        pollfd readable{fd, POLLIN, 0};
        if (status != FrameReader::Status::NeedMore || poll(&readable, 1, 20000) != 1) return false;
        const ssize_t received = recv(fd, buffer, sizeof(buffer), 0);
        if (received <= 0) return false;
        reader.append(buffer, static_cast<std::size_t>(received));
    }
}

std::string callFrame(Method& request, const std::string& remoteContext,
                      const std::string& interfaceName) {
    Frame frame;
    frame.kind = Frame::Kind::Call;
    frame.requestId = 7;
    frame.destination = "svcreg";
    frame.remoteContext = remoteContext;
    frame.protocol = BinaryProtocolAdapter::kProtocolName;
    frame.interface = interfaceName;
    frame.data = encode(request);
    std::string bytes;
    appendEncodedFrame(frame, bytes);
    return bytes;
}

std::string textFrame(const std::string& text, const std::string& sourceChannel) {
    Frame frame;
    frame.destination = "svcreg";
    frame.source = sourceChannel;
    frame.data = text;
    std::string bytes;
    appendEncodedFrame(frame, bytes);
    return bytes;
}

svcreg::ClientOptions DaemonUnderTest::clientOptions() const {
    svcreg::ClientOptions options;
    options.runtimeDirectory = runtimeDirectory();
    options.library = SERVICE_REGISTRY_LIBRARY;
    options.timeout = std::chrono::seconds(10);
    return options;
}

std::unique_ptr<ForkedProcess> claimInChild(const std::string& folder, const std::string& channel) {
    return std::make_unique<ForkedProcess>([=] {
        static std::unique_ptr<svcreg::ChannelClaim> claim;
        std::string error;
        claim = svcreg::ChannelClaim::claim(svcreg::RuntimeDirectory(folder), channel,
                                            svcreg::UniqueFd(), error);
        return claim != nullptr;
    });
}
