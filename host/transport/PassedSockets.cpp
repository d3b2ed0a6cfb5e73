#include "PassedSockets.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "FileIdentity.h"
#include "HostLog.h"
#include "Mutex.h"

namespace svcreg {

namespace {

// The first descriptor a service manager passes, and the most this process takes: a count
// beyond it is no service manager's.
constexpr int kFirstPassedFd = 3;
constexpr long kMostPassedSockets = 1024;

struct Passed {
    int fd;
    std::string name;  // empty when none was given
    bool taken;
};

// The sockets passed to the process that read them, once per process: a child forked after
// the read has its own question to ask (and no variables left to answer it).
struct PassedTable {
    Mutex mutex;  // guards the rest; held for a few system calls on the passed descriptors only
    pid_t readIn TS_GUARDED_BY(mutex) = 0;
    std::vector<Passed> sockets TS_GUARDED_BY(mutex);
};

PassedTable& passedTable() {
    static PassedTable table;
    return table;
}

// A count of decimal digits only, as a service manager writes it; -1 for anything else.
long countIn(const char* text) {
    if (text == nullptr || *text == '\0' || std::strlen(text) > 9) return -1;
    for (const char* digit = text; *digit != '\0'; ++digit) {
        if (*digit < '0' || *digit > '9') return -1;
    }
    return std::atol(text);
}

std::vector<std::string> namesIn(const char* text) {
    std::vector<std::string> names;
    if (text == nullptr || *text == '\0') return names;
    for (std::string_view rest(text);;) {
        const std::size_t colon = rest.find(':');
        names.emplace_back(rest.substr(0, colon));
        if (colon == std::string_view::npos) return names;
        rest.remove_prefix(colon + 1);
    }
}

std::vector<Passed> readEnvironment() {
    const long pid = countIn(std::getenv("LISTEN_PID"));
    const char* fds = std::getenv("LISTEN_FDS");
    long count = pid == getpid() && fds != nullptr ? countIn(fds) : 0;
    const std::vector<std::string> names = namesIn(std::getenv("LISTEN_FDNAMES"));
    if (count < 0 || count > kMostPassedSockets) {
        HOST_FAILURE("Took no passed socket: $LISTEN_FDS is '%s', not a count up to %ld", fds,
                     kMostPassedSockets);
        count = 0;
    }
    unsetenv("LISTEN_PID");
    unsetenv("LISTEN_FDS");
    unsetenv("LISTEN_FDNAMES");
    std::vector<Passed> sockets;
    for (int fd = kFirstPassedFd; fd < kFirstPassedFd + count; ++fd) {
        fcntl(fd, F_SETFD, FD_CLOEXEC);
        const std::size_t index = static_cast<std::size_t>(fd - kFirstPassedFd);
        sockets.push_back({fd, index < names.size() ? names[index] : std::string(), false});
    }
    return sockets;
}

// The path socket fd is bound to; empty for none (not a Unix socket, unbound or abstract).
std::string boundPath(int fd) {
    sockaddr_un address{};
    socklen_t length = sizeof(address);
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        address.sun_family != AF_UNIX || length <= offsetof(sockaddr_un, sun_path)) {
        return std::string();
    }
    return std::string(address.sun_path,
                       strnlen(address.sun_path, length - offsetof(sockaddr_un, sun_path)));
}

bool samePlace(const std::string& bound, const std::string& socketPath) {
    return !bound.empty() &&
           (bound == socketPath || FileIdentity::at(bound) == FileIdentity::at(socketPath));
}

// The passed socket for channel (see PassedSockets::take); null for none.
Passed* passedFor(std::vector<Passed>& sockets, const std::string& channel,
                  const std::string& socketPath) {
    for (Passed& passed : sockets) {
        if (!passed.taken && passed.name == channel) return &passed;
    }
    if (sockets.size() == 1 && sockets[0].name.empty() && !sockets[0].taken) return &sockets[0];
    for (Passed& passed : sockets) {
        if (!passed.taken && samePlace(boundPath(passed.fd), socketPath)) return &passed;
    }
    return nullptr;
}

int optionOf(int fd, int option) {
    int value = 0;
    socklen_t length = sizeof(value);
    return getsockopt(fd, SOL_SOCKET, option, &value, &length) == 0 ? value : -1;
}

}  // namespace

UniqueFd PassedSockets::take(const std::string& channel, const std::string& socketPath) {
    PassedTable& table = passedTable();
    MutexLock hold(table.mutex);
    if (table.readIn != getpid()) {
        table.sockets = readEnvironment();
        table.readIn = getpid();
    }
    Passed* passed = passedFor(table.sockets, channel, socketPath);
    if (passed == nullptr) return UniqueFd();
    passed->taken = true;
    return UniqueFd(passed->fd);
}

std::string listenerProblem(int fd, const std::string& socketPath) {
    const std::string bound = boundPath(fd);
    if (bound.empty() || optionOf(fd, SO_TYPE) != SOCK_STREAM) {
        return "is not a Unix stream socket bound to a path";
    }
    if (optionOf(fd, SO_ACCEPTCONN) != 1) return "is not listening";
    if (!samePlace(bound, socketPath)) {
        return "is bound at '" + bound + "', not at the channel's place '" + socketPath + "'";
    }
    return std::string();
}

}  // namespace svcreg
