#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "EventLoops.h"
#include "Mutex.h"
#include "ServiceRegistry/PeerCredentials.h"
#include "UnixSocket.h"
#include "UserBudget.h"

namespace svcreg {

// Tells when processes end, as the kernel reports it: each watched process has a pidfd in the
// first epoll set of the event loops, readable once the process has exited, and its watchers
// are told on that loop's thread. No thread, no connection and no polling per process. Each
// process counts once against the share of its user, however many watch it, so that no user can
// take every place.
class ProcessWatch {
public:
    using WatchId = std::uint64_t;

    ProcessWatch(EventLoops& loops, std::size_t perUser, std::size_t total);
    ~ProcessWatch();
    ProcessWatch(const ProcessWatch&) = delete;
    ProcessWatch& operator=(const ProcessWatch&) = delete;

    // Calls gone once, on a loop thread, when process pid, of user, ends; id, unique to the
    // caller, names the watch. False, with why, when it cannot be watched: it has ended already,
    // the loops are not open, or user's share is used.
    bool watch(WatchId id, pid_t pid, uid_t user, std::function<void()> gone, std::string& why);
    // As watch, for the process at the other end of socket, whose pidfd comes from the socket
    // itself where the kernel gives one, so that a pid taken since by another process cannot be
    // mistaken for it. A process that has ended already, even one reaped, is told gone at once:
    // true then as well.
    bool watchPeerOf(WatchId id, int socket, const PeerCredentials& peer,
                     std::function<void()> gone, std::string& why);
    // As watch, for the process pid that started at startTime (see startTimeOf): one that has
    // ended, and any other process that has taken its pid since, is told gone at once.
    bool watchStarted(WatchId id, pid_t pid, const std::string& startTime, uid_t user,
                      std::function<void()> gone, std::string& why);
    // When process pid started, in clock ticks after boot, as text: with its pid, it names the
    // process for good. Empty when it cannot be read (it has ended).
    static std::string startTimeOf(pid_t pid);
    // gone will not be called for id once this returns, unless it runs now on another thread.
    void cancel(WatchId id);
    // Whether id still waits for its process to end.
    bool watches(WatchId id);
    // Loop thread: fd is ready. False when it is none of the watch's.
    bool handleReady(int fd);

private:
    struct Watched {
        pid_t pid;
        uid_t user;
        UniqueFd pidfd;
        std::map<WatchId, std::function<void()>> watchers;
    };

    // Adds gone to the watchers of pid, whose pidfd open gives: a new one when the pidfd kept
    // for pid is of a process that has ended.
    bool add(WatchId id, pid_t pid, uid_t user, const std::function<UniqueFd()>& open,
             std::function<void()>& gone, std::string& why);
    // As add; a process that has ended already is told gone at once, and true.
    bool addOrTellEnded(WatchId id, pid_t pid, uid_t user, const std::function<UniqueFd()>& open,
                        std::function<void()>& gone, std::string& why);
    // Watches pidfd, of pid, within user's share.
    bool keep(pid_t pid, uid_t user, UniqueFd pidfd, std::string& why) TS_REQUIRES(mutex);
    static bool hasEnded(int pidfd);
    void forget(std::map<int, Watched>::iterator process) TS_REQUIRES(mutex);

    EventLoops& loops;
    UserBudget budget;

    Mutex mutex;  // guards everything below; no watcher is called while it is held
    std::map<int, Watched> byPidfd TS_GUARDED_BY(mutex);
    std::map<pid_t, int> pidfdOf TS_GUARDED_BY(mutex);    // of the process that has each pid now
    std::map<WatchId, int> watchOf TS_GUARDED_BY(mutex);  // each watch's pidfd
};

}  // namespace svcreg
