#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "Connection.h"
#include "EventLoops.h"
#include "Mutex.h"
#include "OutboundConnections.h"
#include "ProcessWatch.h"
#include "RuntimeDirectory.h"
#include "ServedChannels.h"

namespace svcreg {

// The one place that tells that a peer has ended, as the kernel says it: a process ends when
// its pidfd says so (see ProcessWatch), a connection when it hangs up or is closed. Everyone who
// needs to know asks here: the owners of the registry's entries, its watchers and subscribers,
// the calls waiting for replies, and a client's table, of the daemon that shared it. Each watch
// calls its gone once, on a thread of the event loops, and not after it is cancelled unless it was
// told already (its call may be under way or queued); a peer that has ended before it is watched is
// told gone at once, or refused where nothing can be watched (see each).
//
// Threads: any. connectionEnded and handleReady come from the transport.
class PeerEnds {
public:
    using WatchId = ProcessWatch::WatchId;

    // Processes are watched up to processesPerUser of each user's, and processes in all.
    PeerEnds(const RuntimeDirectory& directory, EventLoops& loops, OutboundConnections& outbound,
             std::size_t processesPerUser, std::size_t processes);

    // The peer at channel: for a private channel, the connection it belongs to, until it
    // closes; for another, the process that holds its claim in the runtime directory. 0 when it
    // cannot be watched: why stays empty when nobody serves the channel, and says why otherwise.
    // server, when given, gets the pid watched (0 for a private channel).
    WatchId watchPeer(const std::string& channel, std::function<void()> gone, std::string& why,
                      pid_t* server = nullptr);
    // The end of connection, whatever becomes of its process: 0 when it is closed already.
    WatchId watchConnection(const Connection& connection, std::function<void()> gone);
    // The process at the other end of connection, as the kernel identified it when the
    // connection was made, whatever becomes of the connection. 0, with why, when it cannot be
    // watched.
    WatchId watchProcessOf(const Connection& connection, std::function<void()> gone,
                           std::string& why);
    // Process pid, of user, that started at startTime (see ProcessWatch::startTimeOf): another
    // process that has its pid since is taken for its end. 0, with why, when it cannot be watched.
    WatchId watchProcess(pid_t pid, const std::string& startTime, uid_t user,
                         std::function<void()> gone, std::string& why);
    // The hang-up of socket, a connected socket of the caller's that the transport does not
    // read: gone once its peer closes it, or it fails. The watch keeps a copy of socket until it
    // is told or cancelled, so that the number, taken again, is never mistaken for it. 0, with
    // why, when it cannot be watched.
    WatchId watchHangUp(int socket, std::function<void()> gone, std::string& why);
    // gone will not be called for id once this returns, unless it was told already: its call may
    // be under way or queued on the event loops.
    void unwatch(WatchId id);
    // Whether the watch id still waits: false once its gone has been called, or it was cancelled.
    bool stillWatching(WatchId id);
    // Whether a peer may be at channel to be watched: a connection carries it, or its claim's
    // lock file is there. Cheap: no system call for a served channel, and for any other a read
    // of the folder's events at most once per batch of received bytes.
    bool mayWatchPeer(const std::string& channel);

    // The transport has closed connection: its watchers are told. Called once per connection,
    // after Connection::close.
    void connectionEnded(const Connection& connection);
    // Loop thread: fd is ready. False when it is none of the watch's.
    bool handleReady(int fd);

private:
    struct HangUp {
        const Connection* connection;
        std::function<void()> gone;
    };

    struct SocketHangUp {
        WatchId id;
        UniqueFd copy;
        std::function<void()> gone;
    };

    WatchId watchServer(const std::string& channel, std::function<void()> gone, std::string& why,
                        pid_t* server);
    WatchId newWatchId();

    const RuntimeDirectory& directory;
    EventLoops& loops;
    OutboundConnections& outbound;
    ServedChannels servedChannels{directory};
    ProcessWatch processes;
    std::atomic<WatchId> lastWatchId{0};

    // Whether the watch of a socket's hang-up at fd was told: its peer has closed it.
    bool socketHungUp(int fd);
    std::map<int, SocketHangUp>::iterator socketWatchOf(WatchId id) TS_REQUIRES(mutex);
    void forget(std::map<int, SocketHangUp>::iterator watch) TS_REQUIRES(mutex);

    Mutex mutex;  // guards what follows; no watcher is called while it is held
    std::map<WatchId, HangUp> hangUps TS_GUARDED_BY(mutex);
    std::multimap<const Connection*, WatchId> byConnection TS_GUARDED_BY(mutex);
    std::map<int, SocketHangUp> socketHangUps TS_GUARDED_BY(mutex);  // by the copy's number
};

}  // namespace svcreg
