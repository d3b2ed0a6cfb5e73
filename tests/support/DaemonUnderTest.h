#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "HostOptionsIn.h"
#include "Processes.h"
#include "ServiceRegistry/HostFramework.h"
#include "ServiceRegistry/RegistryClient.h"

// The real daemon and client, run in temporary runtime directories.

struct ClientResult {
    int exitCode;
    std::string out;
    std::string err;
};

// Sanitizers reserve terabytes of address space and keep freed memory back on purpose: under
// them, address-space limits cannot be set and resident sizes say nothing.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

inline bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

inline std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

// svcregd serving the default channel in a temporary runtime directory.
class DaemonUnderTest {
public:
    // runUnder, when given, starts the command that runs svcregd (prlimit, say); the runtime
    // directory is then open to every user, sticky, so that a daemon run as another user, and
    // other users' services, can use it.
    explicit DaemonUnderTest(std::vector<std::string> extraArguments = {},
                             const std::vector<std::string>& runUnder = {});
    // Stops the daemon and fails the test unless it exits cleanly without a sanitizer report.
    ~DaemonUnderTest();
    const std::string& runtimeDirectory() const { return directory.path(); }
    // Its journal and its claim of the channel, inside the runtime directory so that they go
    // with it.
    std::string stateDirectory() const { return directory.path() + "/.state"; }
    ChildProcess& process() { return *daemonProcess; }
    std::string socketPath() const { return directory.path() + "/svcreg"; }
    // True once its socket accepts connections.
    bool serving() const { return accepting(socketPath()); }
    // True once its log (standard error) holds part, within ten seconds.
    bool logged(const std::string& part) const {
        return eventually([&] { return contains(daemonProcess->err(), part); });
    }
    // Ends the daemon with signal (SIGKILL: a crash), checks how it ended, and starts it again
    // in the same runtime directory, unless start is false; then stop starts it.
    void restart(int signal, bool start = true);
    void start();
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
    std::vector<std::string> command;
    std::unique_ptr<ChildProcess> daemonProcess;
    int starts = 0;
    mutable int clientCount = 0;
};

// Runs svcreg to its end against the daemon serving runtimeDirectory; a sanitizer report fails
// the test.
ClientResult runClient(const std::string& runtimeDirectory,
                       const std::vector<std::string>& arguments, const std::string& outputPrefix,
                       const std::vector<std::string>& runAs = {});

// A child that holds channel's claim in the runtime directory folder, as a process serving the
// channel does, until it is killed.
std::unique_ptr<ForkedProcess> claimInChild(const std::string& folder, const std::string& channel);

namespace svcreg {
struct Frame;
}
// Sends a call on fd and waits up to 20 seconds for its reply, which must be the first waiting
// on fd: the daemon handles one connection's frames in order, so everything sent earlier on fd
// has been handled once it is here. The frames that arrive before it go to before, when given.
bool barrier(int fd, std::vector<svcreg::Frame>* before = nullptr);
// Hands take each frame that arrives on fd until it returns true, then returns true; false once
// fd ends, fails or stays silent for 20 seconds.
bool readFramesUntil(int fd, const std::function<bool(const svcreg::Frame&)>& take);

class Method;
// The bytes of a frame to the daemon's channel: a call of the registry's interface (or another)
// with the binary-encoded request, or a text message.
std::string callFrame(Method& request, const std::string& remoteContext,
                      const std::string& interfaceName = "ServiceRegistryIfc");
std::string textFrame(const std::string& text, const std::string& sourceChannel);
