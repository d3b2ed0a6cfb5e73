#include "Processes.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

extern char** environ;

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout,
                std::chrono::microseconds interval) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (condition()) return true;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(interval);  // polling interval only
    }
}

TempDirectory::TempDirectory() {
    char pattern[] = "/tmp/svcreg-test-XXXXXX";
    folder = mkdtemp(pattern);
}

TempDirectory::~TempDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

ChildProcess::ChildProcess(const std::vector<std::string>& command, const std::string& outputPrefix)
    : outPath(outputPrefix + ".out"), errPath(outputPrefix + ".err") {
    const std::string& program = command.front();
    std::vector<char*> argv;
    for (const std::string& argument : command) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    if (posix_spawn(&child, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
        child = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
}

ChildProcess::~ChildProcess() {
    if (child > 0 && status == -1) {
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    }
}

void ChildProcess::signal(int number) const {
    if (child > 0 && status == -1) kill(child, number);  // never a reaped, maybe reused, pid
}

int ChildProcess::wait(std::chrono::milliseconds timeout) {
    if (child <= 0) return -1;
    eventually(
        [this] {
            int raw = 0;
            if (status == -1 && waitpid(child, &raw, WNOHANG) == child) {
                status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
            }
            return status != -1;
        },
        timeout);
    return status;
}

ForkedProcess::ForkedProcess(const std::function<bool()>& work, const ForkedAs* runAs) {
    int ready[2];
    if (pipe(ready) != 0) return;
    pid = fork();
    if (pid == 0) {
        close(ready[0]);
        const bool became =
            runAs == nullptr || (setgroups(runAs->groups.size(), runAs->groups.data()) == 0 &&
                                 setresgid(runAs->gid, runAs->gid, runAs->gid) == 0 &&
                                 setresuid(runAs->uid, runAs->uid, runAs->uid) == 0);
        const char worked = became && work() ? 1 : 0;
        if (write(ready[1], &worked, 1) != 1) _exit(1);
        for (;;) pause();
    }
    close(ready[1]);
    char worked = 0;
    started = pid > 0 && read(ready[0], &worked, 1) == 1 && worked == 1;
    close(ready[0]);
}

void ForkedProcess::kill() {
    if (pid <= 0) return;
    ::kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    pid = -1;
}

std::vector<std::string> asUser(uid_t uid, gid_t gid, const std::vector<gid_t>& groups) {
    std::string groupList;
    for (const gid_t group : groups) {
        groupList += (groupList.empty() ? "" : ",") + std::to_string(group);
    }
    return {"/usr/bin/setpriv", "--reuid=" + std::to_string(uid), "--regid=" + std::to_string(gid),
            groups.empty() ? "--clear-groups" : "--groups=" + groupList};
}

int openDescriptors(pid_t pid) {
    const std::string folder = "/proc/" + std::to_string(pid) + "/fd";
    std::error_code error;
    int count = 0;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end;
         it.increment(error)) {
        ++count;
    }
    return error ? -1 : count;
}

bool someThread(pid_t pid, const std::function<bool(const std::string& taskFolder)>& test) {
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    std::error_code error;
    for (std::filesystem::directory_iterator it(tasks, error), end; !error && it != end;
         it.increment(error)) {
        if (test(it->path())) return true;
    }
    return false;
}

int descriptorOf(pid_t pid, int fd) {
    const int process = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (process < 0) return -1;
    const int copy = static_cast<int>(syscall(SYS_pidfd_getfd, process, fd, 0));
    const int error = errno;
    close(process);
    errno = error;
    return copy;
}

bool everyThreadStopped(pid_t pid) {
    return !someThread(pid, [](const std::string& task) {
        std::string stat;
        std::getline(std::ifstream(task + "/stat"), stat);
        const auto state = stat.rfind(") ");
        return state == std::string::npos || stat.compare(state + 2, 1, "T") != 0;
    });
}

long residentKiB(pid_t pid) {
    std::istringstream status(readFile("/proc/" + std::to_string(pid) + "/status"));
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    }
    return -1;
}

int connectRaw(const std::string& socketPath) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof(address.sun_path) - 1);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) return fd;
    close(fd);
    return -1;
}

bool sendAll(int fd, const std::string& bytes) {
    for (std::size_t written = 0; written < bytes.size();) {
        const ssize_t sent = send(fd, bytes.data() + written, bytes.size() - written, MSG_NOSIGNAL);
        if (sent < 0 && errno == EAGAIN) {
            pollfd writable{fd, POLLOUT, 0};
            if (poll(&writable, 1, 10000) != 1) return false;
            continue;
        }
        if (sent <= 0) return false;
        written += static_cast<std::size_t>(sent);
    }
    return true;
}

bool closedByPeer(int fd) {
    pollfd hungUp{fd, POLLIN, 0};
    char byte;
    return poll(&hungUp, 1, 10000) == 1 && recv(fd, &byte, 1, MSG_DONTWAIT) == 0;
}

bool accepting(const std::string& socketPath) {
    const int fd = connectRaw(socketPath);
    if (fd >= 0) close(fd);
    return fd >= 0;
}
