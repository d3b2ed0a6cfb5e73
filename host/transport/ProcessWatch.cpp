#include "ProcessWatch.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "ProcessUser.h"

namespace svcreg {

namespace {

// Debian 12's headers predate the option; the kernel has had it since 6.5.
#ifndef SO_PEERPIDFD
#define SO_PEERPIDFD 77
#endif

UniqueFd openPidfd(pid_t pid) {
    return UniqueFd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
}

// The pidfd of the process at the other end of socket, as the kernel recorded it when the
// connection was made; invalid, with errno, when it has none to give.
UniqueFd peerPidfdOf(int socket) {
    int pidfd = -1;
    socklen_t length = sizeof pidfd;
    if (getsockopt(socket, SOL_SOCKET, SO_PEERPIDFD, &pidfd, &length) != 0) return UniqueFd();
    return UniqueFd(pidfd);
}

}  // namespace

ProcessWatch::ProcessWatch(EventLoops& loops, std::size_t perUser, std::size_t total)
    : loops(loops), budget(perUser, total) {}

ProcessWatch::~ProcessWatch() {
    MutexLock hold(mutex);
    while (!byPidfd.empty()) forget(byPidfd.begin());
}

bool ProcessWatch::watch(WatchId id, pid_t pid, uid_t user, std::function<void()> gone,
                         std::string& why) {
    return add(
        id, pid, user, [pid] { return openPidfd(pid); }, gone, why);
}

bool ProcessWatch::watchPeerOf(WatchId id, int socket, const PeerCredentials& peer,
                               std::function<void()> gone, std::string& why) {
    const auto open = [socket, &peer] {
        UniqueFd pidfd = peerPidfdOf(socket);
        // Older kernels give no pidfd of a peer: the pid is opened then, checked to be still
        // the peer's by its user (a reused pid may not be noticed).
        if (!pidfd.valid() && errno == ENOPROTOOPT) {
            pidfd = openPidfd(peer.pid);
            if (pidfd.valid() && effectiveUserOf(peer.pid) != peer.uid) {
                pidfd = UniqueFd();
                errno = ESRCH;  // the number is another's now: the peer has ended
            }
        }
        return pidfd;
    };
    return addOrTellEnded(id, peer.pid, peer.uid, open, gone, why);
}

// The pid is opened first, then its start time read, then the pidfd asked whether its process
// still runs: if it does, the pid was still its own when the start time was read.
bool ProcessWatch::watchStarted(WatchId id, pid_t pid, const std::string& startTime, uid_t user,
                                std::function<void()> gone, std::string& why) {
    const auto open = [pid, &startTime] {
        UniqueFd pidfd = openPidfd(pid);
        if (pidfd.valid() && (startTimeOf(pid) != startTime || hasEnded(pidfd.get()))) {
            pidfd = UniqueFd();
            errno = ESRCH;
        }
        return pidfd;
    };
    return addOrTellEnded(id, pid, user, open, gone, why);
}

// A process that has ended, and been reaped, is gone now, as a pidfd would have said.
bool ProcessWatch::addOrTellEnded(WatchId id, pid_t pid, uid_t user,
                                  const std::function<UniqueFd()>& open,
                                  std::function<void()>& gone, std::string& why) {
    if (add(id, pid, user, open, gone, why)) return true;
    if (errno != ESRCH && errno != EINVAL) return false;
    why.clear();
    loops.post(std::move(gone));
    return true;
}

// The 22nd field of /proc/PID/stat, counted after the name, which may hold spaces and ')'.
std::string ProcessWatch::startTimeOf(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    std::getline(file, stat);
    const std::size_t nameEnd = stat.rfind(')');
    if (nameEnd == std::string::npos) return std::string();
    std::istringstream fields(stat.substr(nameEnd + 1));
    std::string field;
    for (int i = 3; i <= 22 && fields >> field; ++i) {
        if (i == 22) return field;
    }
    return std::string();
}

// The pid is opened, and checked by open, even when it is watched already: the process watched
// under it may have ended, unhandled yet, and another taken its pid since; or the caller may
// mean a process that had it before.
bool ProcessWatch::add(WatchId id, pid_t pid, uid_t user, const std::function<UniqueFd()>& open,
                       std::function<void()>& gone, std::string& why) {
    MutexLock hold(mutex);
    UniqueFd pidfd = open();
    if (!pidfd.valid()) {
        const int failure = errno;
        why = "cannot watch pid " + std::to_string(pid) + ": " + std::strerror(failure);
        errno = failure;
        return false;
    }
    auto known = pidfdOf.find(pid);
    if (known == pidfdOf.end() || hasEnded(known->second)) {
        if (!keep(pid, user, std::move(pidfd), why)) return false;
        known = pidfdOf.find(pid);
    }
    byPidfd.at(known->second).watchers.emplace(id, std::move(gone));
    watchOf.emplace(id, known->second);
    return true;
}

bool ProcessWatch::keep(pid_t pid, uid_t user, UniqueFd pidfd, std::string& why) {
    const UserBudget::Verdict verdict = budget.take(user, 1);
    if (verdict != UserBudget::Verdict::Taken) {
        why = "the watched processes of uid " + std::to_string(static_cast<long>(user)) +
              " are at their share (" + budget.describe(verdict) + ")";
        errno = EDQUOT;
        return false;
    }
    if (!loops.addToFirstSet(pidfd.get(), EPOLLIN)) {
        const int failure = errno;
        why = "cannot watch pid " + std::to_string(pid) + ": " + std::strerror(failure);
        budget.give(user, 1);
        errno = failure;
        return false;
    }
    const int fd = pidfd.get();
    byPidfd.emplace(fd, Watched{pid, user, std::move(pidfd), {}});
    pidfdOf[pid] = fd;
    return true;
}

bool ProcessWatch::hasEnded(int pidfd) {
    pollfd ended{pidfd, POLLIN, 0};
    return poll(&ended, 1, 0) != 0;
}

void ProcessWatch::cancel(WatchId id) {
    MutexLock hold(mutex);
    auto found = watchOf.find(id);
    if (found == watchOf.end()) return;
    auto process = byPidfd.find(found->second);
    watchOf.erase(found);
    process->second.watchers.erase(id);
    if (process->second.watchers.empty()) forget(process);
}

bool ProcessWatch::watches(WatchId id) {
    MutexLock hold(mutex);
    return watchOf.count(id) != 0;
}

// An event taken from the epoll set before a descriptor closed may be handled after its number
// went to a pidfd: the pidfd must itself say its process has ended.
bool ProcessWatch::handleReady(int fd) {
    std::vector<std::function<void()>> told;
    {
        MutexLock hold(mutex);
        auto process = byPidfd.find(fd);
        if (process == byPidfd.end()) return false;
        if (!hasEnded(fd)) return true;
        for (auto& [id, gone] : process->second.watchers) {
            watchOf.erase(id);
            told.push_back(std::move(gone));
        }
        process->second.watchers.clear();
        forget(process);
    }
    for (const std::function<void()>& gone : told) gone();
    return true;
}

// The pidfd leaves the epoll set before it closes, so that its number, taken again by another
// descriptor, is never mistaken for it.
void ProcessWatch::forget(std::map<int, Watched>::iterator process) {
    loops.removeFromFirstSet(process->first);
    budget.give(process->second.user, 1);
    const auto current = pidfdOf.find(process->second.pid);
    if (current != pidfdOf.end() && current->second == process->first) pidfdOf.erase(current);
    byPidfd.erase(process);
}

}  // namespace svcreg
