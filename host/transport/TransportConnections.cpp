#include "Transport.h"

#include <malloc.h>
#include <sys/epoll.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include "HostLog.h"
#include "PeerAccount.h"
#include "ServiceRegistry/ServiceRecord.h"

namespace svcreg {

namespace {

// The longest a waiting thread blocks in a receive before it looks at its deadline again.
constexpr std::chrono::milliseconds kWaiterReceiveSlice{100};

}  // namespace

std::shared_ptr<Connection> Transport::connectTo(const std::string& channel, SendResult& failure,
                                                 const Connection* asker) {
    failure = SendResult::Refused;
    // Acquire pairs with the release store in stop.
    if (stopping.load(std::memory_order_acquire) || !directory.isValidChannel(channel)) {
        return nullptr;
    }
    if (RuntimeDirectory::isPrivateChannel(channel)) {
        failure = SendResult::Gone;  // its connection has closed
        return nullptr;
    }
    const bool forAsker = asker != nullptr && !asker->credentials().isRoot();
    const uid_t askersUser = forAsker ? asker->credentials().uid : 0;
    if (!roomForOutbound(channel, forAsker ? asker : nullptr)) {
        failure = SendResult::Busy;
        return nullptr;
    }
    UniqueFd socket =
        dial(directory.socketPathFor(channel), failure, forAsker ? &askersUser : nullptr);
    if (!socket.valid()) return nullptr;
    PeerCredentials server = peerCredentialsOf(socket.get());
    // An answer goes only to a socket of its asker's user, and a process of that user serving
    // it: nothing is kept of a connection made for another's answer.
    if (forAsker && !servedByUser(server, channel, askersUser)) {
        failure = SendResult::Foreign;
        return nullptr;
    }
    if (!admitsServer(server, channel)) {
        failure = SendResult::Untrusted;
        return nullptr;
    }
    // What waits for an asker's channel is the asker's: a socket-activated one's server is root.
    std::optional<QueuedShare> queuedShare;
    if (forAsker) queuedShare = QueuedShare{budgets->queued, askersUser};
    std::shared_ptr<Connection> connection =
        adopt(std::move(socket), channel, std::move(server), nullptr, std::move(queuedShare));
    if (connection == nullptr) return nullptr;
    // A thread waiting for a reply over it may block in a receive.
    connection->letReceivesBlock(kWaiterReceiveSlice);
    // What comes over a tunnel is the other device's, not the gateway's that carries it: a
    // call back to this process's channels is a remote caller's, with no process, uid or gid.
    if (directory.isRemoteChannel(channel)) {
        PeerCredentials device;
        device.device = deviceOfChannel(channel);
        connection->vouchFor(std::move(device));
    }
    const std::shared_ptr<Connection> kept = outbound.keep(connection);
    // Another thread connected first: this one, which carried nothing, goes unannounced.
    if (kept != connection) dropConnection(connection, false);
    return kept;
}

// The gateway carries a caller's frames to another device: only the registry daemon may serve
// it, whatever the handler admits.
bool Transport::admitsServer(const PeerCredentials& server, const std::string& channel) {
    if (directory.isRemoteChannel(channel) && !isRegistrysUser(server.uid)) {
        HOST_PEER_FAILURE(LogLimiter::aboutUser(server.uid),
                          "The gateway that carries channel '%s' is served by %s, who may not "
                          "be the registry's: not connected",
                          channel.c_str(), server.describe().c_str());
        return false;
    }
    return handler.admitsPeer(server, channel);
}

UniqueFd Transport::dial(const std::string& path, SendResult& failure, const uid_t* askersUser) {
    UniqueFd socket;
    switch (svcreg::connectTo(path, socket, askersUser)) {
        case ConnectResult::Connected:
            return socket;
        case ConnectResult::Busy:
            failure = SendResult::Busy;
            break;
        case ConnectResult::Gone:
            failure = SendResult::Gone;
            break;
        case ConnectResult::Forbidden:
            failure = SendResult::Forbidden;
            break;
        case ConnectResult::OtherOwner:
            failure = SendResult::Foreign;
            break;
        case ConnectResult::Failed:
            failure = SendResult::Refused;
            break;
    }
    return UniqueFd();
}

// The connections made to answer askers are shared by the askers' users: one whose channels
// never read what is queued for them holds a quarter of the outbound connections at most, and
// the rest stay for the others and for this process's own.
bool Transport::roomForOutbound(const std::string& channel, const Connection* asker) {
    // Relaxed, as every use of the count: it publishes nothing (the connections are listed under
    // mutex), and this check and the increment in adopt are apart whatever the order, so the
    // caps are kept as closely with it as with any stronger one.
    const std::size_t made = outboundCount.load(std::memory_order_relaxed);
    if (made < (asker != nullptr ? maxOutboundPerUser : maxOutbound)) return true;
    const uid_t user = asker != nullptr ? asker->credentials().uid : 0;
    std::size_t usersMade = 0;
    std::shared_ptr<Connection> longestUnused;
    std::shared_ptr<Connection> usersLongestUnused;
    {
        MutexLock hold(mutex);
        for (const auto& entry : connections) {
            const Connection& candidate = *entry.second;
            if (candidate.peerChannel().empty() || candidate.relayHandler() != nullptr) continue;
            const bool users = asker != nullptr && candidate.queuedFor() == user;
            if (users) ++usersMade;
            if (candidate.carriesPrivateChannel() || candidate.hasQueuedOutput()) continue;
            const auto unusedLonger = [&](const std::shared_ptr<Connection>& than) {
                return than == nullptr || candidate.lastActivity() < than->lastActivity();
            };
            if (unusedLonger(longestUnused)) longestUnused = entry.second;
            if (users && unusedLonger(usersLongestUnused)) usersLongestUnused = entry.second;
        }
    }
    const bool atShare = usersMade >= maxOutboundPerUser;
    if (!atShare && made < maxOutbound) return true;
    const std::shared_ptr<Connection>& unused = atShare ? usersLongestUnused : longestUnused;
    if (unused != nullptr) {
        dropConnection(unused);
        return true;
    }
    HOST_PEER_FAILURE(LogLimiter::aboutUser(user),
                      "No connection made to channel '%s' for %s: %zu outbound connections%s, "
                      "each with output waiting",
                      channel.c_str(),
                      asker != nullptr ? asker->credentials().describe().c_str() : "this process",
                      atShare ? maxOutboundPerUser : maxOutbound, atShare ? " for its user" : "");
    return false;
}

void Transport::adoptAccepted(UniqueFd socket) {
    PeerCredentials peer = peerCredentialsOf(socket.get());
    const UserBudget::Verdict verdict = acceptedConnections.take(peer.uid, 1);
    if (verdict != UserBudget::Verdict::Taken) {
        HOST_PEER_FAILURE(LogLimiter::aboutUser(peer.uid), "Refused connection from %s: %s",
                          peer.describe().c_str(),
                          acceptedConnections.refusal("connections", verdict).c_str());
        return;
    }
    if (!handler.admitsPeer(peer, std::string())) {
        acceptedConnections.give(peer.uid, 1);
        return;
    }
    adopt(std::move(socket), std::string(), std::move(peer));
}

// Null, with the connection closed, when no epoll set takes it or the transport stops.
std::shared_ptr<Connection> Transport::adopt(UniqueFd socket, const std::string& peerChannel,
                                             PeerCredentials credentials, RelayHandler* relay,
                                             std::optional<QueuedShare> queuedShare) {
    const int fd = socket.get();
    const int set = loops.reserveQuietestSet();
    auto connection =
        std::make_shared<Connection>(std::move(socket), set, peerChannel, std::move(credentials),
                                     budgets, relay, std::move(queuedShare));
    {
        MutexLock hold(mutex);
        // stop() sets stopping before it takes the connections under this lock, so the lock
        // orders the two: one adopted after that would outlive the stop, and is closed instead.
        if (stopping.load(std::memory_order_relaxed)) return nullptr;
        connections[fd] = connection;
    }
    if (relay != nullptr) {
        relayCount.fetch_add(1, std::memory_order_relaxed);  // see openRelay
    } else if (!peerChannel.empty()) {
        outboundCount.fetch_add(1, std::memory_order_relaxed);  // see roomForOutbound
    } else {
        quietness.connected();
    }
    // Listed before it is watched: its first event finds it.
    if (set >= 0 && loops.watch(set, fd, EPOLLIN | EPOLLET)) return connection;
    HOST_FAILURE("Cannot watch the connection of %s: %s; closing it",
                 connection->credentials().describe().c_str(), std::strerror(errno));
    dropConnection(connection);
    return nullptr;
}

void Transport::closeAfter(const std::exception& failure,
                           const std::shared_ptr<Connection>& connection) {
    HOST_FAILURE(
        "%s while handling %s: closing its connection", failure.what(),
        connection != nullptr ? connection->credentials().describe().c_str() : "a new connection");
    if (connection != nullptr) dropConnection(connection);
}

void Transport::sweep() {
    const auto now = std::chrono::steady_clock::now();
    std::vector<std::shared_ptr<Connection>> stalled;
    std::vector<std::shared_ptr<Connection>> idle;
    {
        MutexLock hold(mutex);
        for (const auto& entry : connections) {
            const Connection& connection = *entry.second;
            SteadyTime begun;
            if (connection.unfinishedSince(begun) && now - begun > limits.stallTimeout) {
                stalled.push_back(entry.second);
            } else if (!connection.peerChannel().empty() && connection.relayHandler() == nullptr &&
                       !connection.carriesPrivateChannel() &&
                       now - connection.lastActivity() > limits.idleTimeout &&
                       !connection.hasQueuedOutput()) {
                idle.push_back(entry.second);
            }
        }
    }
    for (const auto& connection : stalled) {
        HOST_PEER_FAILURE(LogLimiter::aboutPeer(connection->credentials()),
                          "%s has left a frame unfinished for over %lld s: closing its connection",
                          connection->credentials().describe().c_str(),
                          static_cast<long long>(limits.stallTimeout.count()));
        dropConnection(connection);
    }
    for (const auto& connection : idle) {
        HOST_TRACE(4, "Closing the idle connection to channel '%s'",
                   connection->peerChannel().c_str());
        dropConnection(connection);
    }
    acceptor.resume();  // listeners paused for want of descriptors try again
    // The allocator keeps freed memory between blocks still in use; what peers held and let go
    // of is given back to the system, at most once a sweep.
    // Relaxed: the flag is a hint that publishes nothing; the memory is the allocator's, which
    // orders its own.
    const bool freed = budgets->queued->memoryToReturn.exchange(false, std::memory_order_relaxed);
    if (relayQueued->memoryToReturn.exchange(false, std::memory_order_relaxed) || freed) {
        malloc_trim(0);
    }
    for (const auto& idle : quietness.due(now)) idle();
}

std::shared_ptr<Connection> Transport::connectionAt(int fd) {
    MutexLock hold(mutex);
    auto found = connections.find(fd);
    return found != connections.end() ? found->second : nullptr;
}

void Transport::dropConnection(const std::shared_ptr<Connection>& connection, bool tell) {
    connection->close();
    bool wasListed;
    {
        MutexLock hold(mutex);
        wasListed = connections.erase(connection->fd()) != 0;
    }
    if (!wasListed) return;
    if (connection->epollSet() >= 0) loops.left(connection->epollSet());
    if (connection->peerChannel().empty()) {
        const PeerCredentials& peer = connection->credentials();
        if (peer.isRemote()) {
            vouchedConnections.give(accountOf(peer), 1);
        } else {
            acceptedConnections.give(connection->socketCredentials().uid, 1);
        }
        quietness.disconnected(std::chrono::steady_clock::now());
        acceptor.resume();
        const std::string privateChannel = connection->privateChannel();
        if (!privateChannel.empty()) outbound.forgetAs(privateChannel, connection);
    } else if (connection->relayHandler() != nullptr) {
        relayCount.fetch_sub(1, std::memory_order_relaxed);  // see openRelay
    } else {
        outboundCount.fetch_sub(1, std::memory_order_relaxed);  // see roomForOutbound
        outbound.forget(connection);
    }
    ends.connectionEnded(*connection);
    if (!tell) return;
    if (connection->relayHandler() != nullptr) {
        connection->relayHandler()->relayClosed(*connection);
    } else {
        handler.connectionClosed(*connection);
    }
}

}  // namespace svcreg
