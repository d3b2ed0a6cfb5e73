#include "ProcessWatch.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace svcreg {

namespace {

UniqueFd openPidfd(pid_t pid) {
    return UniqueFd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
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
    MutexLock hold(mutex);
    auto known = pidfdOf.find(pid);
    if (known == pidfdOf.end()) {
        const UserBudget::Verdict verdict = budget.take(user, 1);
        if (verdict != UserBudget::Verdict::Taken) {
            why = "the watched processes of uid " + std::to_string(static_cast<long>(user)) +
                  " are at their share (" + budget.describe(verdict) + ")";
            return false;
        }
        UniqueFd pidfd = openPidfd(pid);
        if (!pidfd.valid() || !loops.addToFirstSet(pidfd.get(), EPOLLIN)) {
            why = "cannot watch pid " + std::to_string(pid) + ": " + std::strerror(errno);
            budget.give(user, 1);
            return false;
        }
        const int fd = pidfd.get();
        byPidfd.emplace(fd, Watched{pid, user, std::move(pidfd), {}});
        known = pidfdOf.emplace(pid, fd).first;
    }
    byPidfd.at(known->second).watchers.emplace(id, std::move(gone));
    watchOf.emplace(id, known->second);
    return true;
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
        pollfd ended{fd, POLLIN, 0};
        if (poll(&ended, 1, 0) != 1) return true;
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
    pidfdOf.erase(process->second.pid);
    byPidfd.erase(process);
}

}  // namespace svcreg
