#pragma once

#include <memory>
#include <string>
#include <vector>

#include "Processes.h"
#include "ServiceRegistry/RegistryClient.h"

// The real daemon and client, run in temporary runtime directories.

struct ClientResult {
    int exitCode;
    std::string out;
    std::string err;
};

// svcregd serving the default channel in a temporary runtime directory.
class DaemonUnderTest {
public:
    explicit DaemonUnderTest(std::vector<std::string> extraArguments = {});
    // Stops the daemon and fails the test unless it exits cleanly without a sanitizer report.
    ~DaemonUnderTest();
    const std::string& runtimeDirectory() const { return directory.path(); }
    ChildProcess& process() { return *daemonProcess; }
    std::string socketPath() const { return directory.path() + "/svcreg"; }
    // True once its socket accepts connections.
    bool serving() const;
    // For a RegistryClient of this daemon.
    svcreg::ClientOptions clientOptions() const;

    // Runs svcreg to its end against this daemon, through runAs when given (see asUser).
    ClientResult client(const std::vector<std::string>& arguments,
                        const std::vector<std::string>& runAs = {}) const;
    // Starts svcreg in the background against this daemon.
    std::unique_ptr<ChildProcess> startClient(const std::vector<std::string>& arguments) const;

private:
    TempDirectory directory;
    TempDirectory outputs;
    std::unique_ptr<ChildProcess> daemonProcess;
    mutable int clientCount = 0;
};

// Runs svcreg to its end against the daemon serving runtimeDirectory; a sanitizer report fails
// the test.
ClientResult runClient(const std::string& runtimeDirectory,
                       const std::vector<std::string>& arguments, const std::string& outputPrefix,
                       const std::vector<std::string>& runAs = {});

// Fails the current test when a sanitizer reported in a child's standard error.
void expectNoSanitizerReport(const std::string& who, const std::string& standardError);

// The raw connection's next reply frame; false when none whole arrives within 20 seconds. A
// call sent before it on the same connection is a barrier: the daemon handles one connection's
// frames in order, so everything sent earlier has been handled once its reply is here.
bool awaitReplyFrame(int fd);

class Method;
// The bytes of a frame to the daemon's channel: a call of the registry's interface with the
// binary-encoded request, or a text message.
std::string callFrame(Method& request, const std::string& remoteContext);
std::string textFrame(const std::string& text, const std::string& sourceChannel);
