#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "FrameCodec.h"
#include "Processes.h"

// svcregd running in a runtime directory of its own, stopped and cleaned up on destruction.
class DaemonProcess {
public:
    // runUnder, when given, starts the command that runs svcregd (`ip netns exec NAME`, say).
    explicit DaemonProcess(const std::vector<std::string>& extraArguments = {},
                           const std::vector<std::string>& runUnder = {});
    ~DaemonProcess();

    bool serving() const { return ready; }
    const std::string& runtimeDirectory() const { return directory.path(); }
    long residentKiB() const { return ::residentKiB(process.pid()); }
    // What it wrote to its standard error (its log).
    std::string log() const { return process.err(); }
    // The CPU time all its threads have had, in nanoseconds.
    double cpuNanoseconds() const;
    // Ends it as a crash would (SIGKILL) and waits until it has.
    void kill();

private:
    TempDirectory directory;
    TempDirectory outputs;
    ChildProcess process;
    bool ready;
};

// A client that speaks frames to the daemon directly: text requests on one connection, the
// replies on a connection the daemon opens to the client's own channel.
class FrameClient {
public:
    FrameClient(const DaemonProcess& daemon, const std::string& ownChannel);
    ~FrameClient();
    FrameClient(const FrameClient&) = delete;
    FrameClient& operator=(const FrameClient&) = delete;

    bool connected() const { return toDaemon >= 0; }
    // Sends a request that gets no reply, such as "reg:...".
    bool tell(const std::string& text);
    // "find:<ifc>,<own channel>" and its reply's data, e.g. "found:channel000001".
    bool find(const std::string& ifc, std::string& answer);
    // The encoded size of the last request sent, and of the first reply received.
    std::size_t lastRequestSize() const { return requestSize; }
    std::size_t lastReplySize() const { return replySize; }

private:
    std::string channel;
    std::string socketPath;
    int listener = -1;
    int toDaemon = -1;
    int fromDaemon = -1;  // accepted on the first reply
    svcreg::FrameReader replies;
    long nextRequestId = 1;
    std::size_t requestSize = 0;
    std::size_t replySize = 0;
};
