#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

// Programs run in the background and the folders they run in, for the multi-process tests and
// the benchmarks. Waits are on conditions with deadlines, never on sleeps.

using Clock = std::chrono::steady_clock;

// Polls condition every interval until it holds or timeout passes; true when it held.
bool eventually(const std::function<bool()>& condition,
                std::chrono::milliseconds timeout = std::chrono::seconds(10),
                std::chrono::microseconds interval = std::chrono::milliseconds(5));

// A fresh folder, removed with everything in it.
class TempDirectory {
public:
    TempDirectory();
    ~TempDirectory();
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;
    const std::string& path() const { return folder; }

private:
    std::string folder;
};

std::string readFile(const std::string& path);

// A program running in the background with its output going to files.
class ChildProcess {
public:
    // command[0] is the program.
    ChildProcess(const std::vector<std::string>& command, const std::string& outputPrefix);
    ~ChildProcess();  // kills it if still running
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return child; }
    std::string out() const { return readFile(outPath); }
    std::string err() const { return readFile(errPath); }
    void signal(int number) const;
    // The exit code, or 128 + the signal that ended it; -1 when it is still running at the
    // deadline.
    int wait(std::chrono::milliseconds timeout = std::chrono::seconds(20));

private:
    pid_t child = -1;
    int status = -1;
    std::string outPath;
    std::string errPath;
};

// A child of this process that runs work, as another user when runAs is given (root only), says
// whether it succeeded and then waits to be killed, keeping what work opened.
struct ForkedAs {
    uid_t uid;
    gid_t gid;
    std::vector<gid_t> groups;
};
class ForkedProcess {
public:
    explicit ForkedProcess(const std::function<bool()>& work, const ForkedAs* runAs = nullptr);
    ~ForkedProcess() { kill(); }
    ForkedProcess(const ForkedProcess&) = delete;
    ForkedProcess& operator=(const ForkedProcess&) = delete;
    // Ends it as a crash would, and waits until it has.
    void kill();

    pid_t pid = -1;
    bool started = false;  // work succeeded
};

// Accounts of Debian that the tests run processes as.
constexpr uid_t kNobody = 65534;
constexpr gid_t kNogroup = 65534;
constexpr gid_t kUsers = 100;  // the group "users"

// The start of a command line that runs the rest as uid, with gid and no other groups than
// groups (setpriv). Only root may.
std::vector<std::string> asUser(uid_t uid, gid_t gid, const std::vector<gid_t>& groups = {});

// What /proc tells of a running process: its open descriptors and its resident memory.
int openDescriptors(pid_t pid);
long residentKiB(pid_t pid);

// True when test holds for one of pid's threads, given its folder in /proc (task/TID).
bool someThread(pid_t pid, const std::function<bool(const std::string& taskFolder)>& test);
// A copy of descriptor fd of process pid (through a pidfd), -1 with errno set when it cannot be
// had. A forked child that keeps a connection at a known descriptor lets this process use it,
// as the child's, from any thread.
int descriptorOf(pid_t pid, int fd);
// True once every thread of pid is stopped: a SIGSTOP is sent at once, but taken only as each
// thread is next scheduled, and a running one may yet answer a request.
bool everyThreadStopped(pid_t pid);

// A blocking connection to the socket at path, or -1: for sending bytes no client would.
int connectRaw(const std::string& socketPath);
// Writes all of bytes to a socket, waiting while it is full; false when the peer is gone.
bool sendAll(int fd, const std::string& bytes);
// True once the peer closes the connection, within ten seconds, with nothing more to read.
bool closedByPeer(int fd);
// True once something accepts connections at the socket path.
bool accepting(const std::string& socketPath);
