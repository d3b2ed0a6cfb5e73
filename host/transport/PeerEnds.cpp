#include "PeerEnds.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <vector>

#include "ChannelClaim.h"
#include "LockHolder.h"

namespace svcreg {

PeerEnds::PeerEnds(const RuntimeDirectory& directory, EventLoops& loops,
                   OutboundConnections& outbound, std::size_t processesPerUser,
                   std::size_t processes)
    : directory(directory),
      loops(loops),
      outbound(outbound),
      processes(loops, processesPerUser, processes) {}

PeerEnds::WatchId PeerEnds::watchPeer(const std::string& channel, std::function<void()> gone,
                                      std::string& why, pid_t* server) {
    if (server != nullptr) *server = 0;
    if (!RuntimeDirectory::isPrivateChannel(channel)) {
        return watchServer(channel, std::move(gone), why, server);
    }
    const std::shared_ptr<Connection> connection = outbound.find(channel);
    return connection != nullptr ? watchConnection(*connection, std::move(gone)) : 0;
}

// Checked under the lock that connectionEnded takes to tell the watchers: a connection not
// closed yet is still there to tell this one when it is.
PeerEnds::WatchId PeerEnds::watchConnection(const Connection& connection,
                                            std::function<void()> gone) {
    MutexLock hold(mutex);
    if (connection.isClosed()) return 0;
    const WatchId id = newWatchId();
    hangUps.emplace(id, HangUp{&connection, std::move(gone)});
    byConnection.emplace(&connection, id);
    return id;
}

// Relaxed: each watch only needs an id of its own, which the increment gives in any order; the
// watch itself is kept under mutex, or by the process watch.
PeerEnds::WatchId PeerEnds::newWatchId() {
    return lastWatchId.fetch_add(1, std::memory_order_relaxed) + 1;
}

PeerEnds::WatchId PeerEnds::watchServer(const std::string& channel, std::function<void()> gone,
                                        std::string& why, pid_t* server) {
    const std::optional<ChannelClaim::Holder> holder = ChannelClaim::holderOf(directory, channel);
    if (!holder) return 0;
    if (holder->pid == kHolderUnknown) {
        why = "the process holding the claim of channel '" + channel +
              "' is not found among the first MiB of the system's table of file locks";
        return 0;
    }
    const WatchId id = newWatchId();
    if (!processes.watch(id, holder->pid, holder->user, std::move(gone), why)) return 0;
    // The pid was read before the pidfd was opened: it must still be the holder's, not that of
    // a process that took the number since.
    const std::optional<ChannelClaim::Holder> still = ChannelClaim::holderOf(directory, channel);
    if (!still || still->pid != holder->pid) {
        processes.cancel(id);
        why = "the process serving channel '" + channel + "' changed while it was looked up";
        return 0;
    }
    if (server != nullptr) *server = holder->pid;
    return id;
}

PeerEnds::WatchId PeerEnds::watchProcessOf(const Connection& connection, std::function<void()> gone,
                                           std::string& why) {
    const WatchId id = newWatchId();
    return processes.watchPeerOf(id, connection.fd(), connection.credentials(), std::move(gone),
                                 why)
               ? id
               : 0;
}

PeerEnds::WatchId PeerEnds::watchProcess(pid_t pid, const std::string& startTime, uid_t user,
                                         std::function<void()> gone, std::string& why) {
    const WatchId id = newWatchId();
    return processes.watchStarted(id, pid, startTime, user, std::move(gone), why) ? id : 0;
}

// The copy joins the epoll set under the lock that handleReady takes: its hang-up, told at once
// when it has hung up already, finds the watch in place.
PeerEnds::WatchId PeerEnds::watchHangUp(int socket, std::function<void()> gone, std::string& why) {
    errno = 0;  // the loops not open yet leave it so
    UniqueFd copy(fcntl(socket, F_DUPFD_CLOEXEC, 0));
    MutexLock hold(mutex);
    if (!copy.valid() || !loops.addToFirstSet(copy.get(), EPOLLRDHUP)) {
        why = errno != 0 ? std::string("cannot watch the socket: ") + std::strerror(errno)
                         : "cannot watch the socket before the event loops start";
        return 0;
    }
    const WatchId id = newWatchId();
    const int fd = copy.get();
    socketHangUps.emplace(fd, SocketHangUp{id, std::move(copy), std::move(gone)});
    return id;
}

void PeerEnds::unwatch(WatchId id) {
    processes.cancel(id);
    MutexLock hold(mutex);
    const auto socket = socketWatchOf(id);
    if (socket != socketHangUps.end()) forget(socket);
    auto found = hangUps.find(id);
    if (found == hangUps.end()) return;
    auto [first, last] = byConnection.equal_range(found->second.connection);
    for (auto watcher = first; watcher != last; ++watcher) {
        if (watcher->second != id) continue;
        byConnection.erase(watcher);
        break;
    }
    hangUps.erase(found);
}

bool PeerEnds::stillWatching(WatchId id) {
    if (processes.watches(id)) return true;
    MutexLock hold(mutex);
    return hangUps.count(id) != 0 || socketWatchOf(id) != socketHangUps.end();
}

bool PeerEnds::handleReady(int fd) {
    return processes.handleReady(fd) || socketHungUp(fd);
}

// An event taken from the epoll set before a descriptor closed may be handled after its number
// went to a copy watched here: the copy must itself say that its peer has closed it.
bool PeerEnds::socketHungUp(int fd) {
    std::function<void()> gone;
    {
        MutexLock hold(mutex);
        const auto watch = socketHangUps.find(fd);
        if (watch == socketHangUps.end()) return false;
        pollfd hungUp{fd, POLLRDHUP, 0};
        if (poll(&hungUp, 1, 0) <= 0) return true;
        gone = std::move(watch->second.gone);
        forget(watch);
    }
    gone();
    return true;
}

// Few sockets are watched: a client's line to its daemon.
std::map<int, PeerEnds::SocketHangUp>::iterator PeerEnds::socketWatchOf(WatchId id) {
    auto watch = socketHangUps.begin();
    while (watch != socketHangUps.end() && watch->second.id != id) ++watch;
    return watch;
}

// The copy leaves the epoll set before it closes, as a pidfd does (see ProcessWatch::forget).
void PeerEnds::forget(std::map<int, SocketHangUp>::iterator watch) {
    loops.removeFromFirstSet(watch->first);
    socketHangUps.erase(watch);
}

bool PeerEnds::mayWatchPeer(const std::string& channel) {
    if (RuntimeDirectory::isPrivateChannel(channel)) return outbound.find(channel) != nullptr;
    return servedChannels.mayBeServed(channel);
}

// Told on the loops, as a process's end is: the transport may close a connection on a thread
// waiting for a reply, which must not run what watchers do.
void PeerEnds::connectionEnded(const Connection& connection) {
    std::vector<std::function<void()>> told;
    {
        MutexLock hold(mutex);
        auto [first, last] = byConnection.equal_range(&connection);
        for (auto watcher = first; watcher != last; ++watcher) {
            auto hangUp = hangUps.find(watcher->second);
            told.push_back(std::move(hangUp->second.gone));
            hangUps.erase(hangUp);
        }
        byConnection.erase(first, last);
    }
    for (std::function<void()>& gone : told) loops.post(std::move(gone));
}

}  // namespace svcreg
