#include "Transport.h"

#include <poll.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "AccountNames.h"
#include "ChannelClaim.h"
#include "LockHolder.h"
#include "LogLimiter.h"
#include "PeerAccount.h"
#include "ServiceRegistry/Defaults.h"

namespace svcreg {

namespace {

constexpr auto kStopFlushTime = std::chrono::seconds(2);

std::size_t fitted(std::size_t cap, std::size_t descriptors) {
    return std::max<std::size_t>(1, std::min(cap, descriptors));
}

}  // namespace

// Of the descriptors for connections, three quarters go to accepted ones, the rest outbound;
// relays, which only the gateway of a daemon that federates makes, may take another quarter.
Transport::Transport(RuntimeDirectory directory, FrameHandler& handler, unsigned threads,
                     const ConnectionLimits& limits)
    : directory(std::move(directory)),
      registryUser(uidOfUser(defaultRegistryUser())),
      handler(handler),
      limits(limits),
      maxOutbound(fitted(limits.outboundConnections, descriptorsForConnections() / 4)),
      maxOutboundPerUser(std::max<std::size_t>(1, maxOutbound / 4)),
      maxRelays(fitted(limits.connections, descriptorsForConnections() / 4)),
      acceptedConnections(limits.connectionsPerUser,
                          fitted(limits.connections, descriptorsForConnections() / 4 * 3)),
      vouchedConnections(acceptedConnections.perUser(), acceptedConnections.total()),
      budgets(std::make_shared<ConnectionBudgets>(limits)),
      relayQueued(std::make_shared<QueuedBudget>(limits.queuedBytesPerUser, limits.queuedBytes)),
      loops(
          threads, [this](int fd, unsigned events) { onReady(fd, events); }, [this] { sweep(); }),
      acceptor(loops, [this](UniqueFd socket) { adoptAccepted(std::move(socket)); }),
      ends(this->directory, loops, outbound, limits.watchedProcessesPerUser,
           fitted(limits.watchedProcesses, descriptorsForConnections() / 8)) {
    LogLimiter::configure(limits.logLinesPerPeer, limits.logInterval);
}

Transport::~Transport() {
    stop();
}

bool Transport::listen(const std::string& channel, std::string& error, UniqueFd given) {
    if (!loops.open(error)) return false;
    std::unique_ptr<ChannelClaim> claim =
        ChannelClaim::claim(directory, channel, std::move(given), error);
    return claim != nullptr && acceptor.listen(std::move(claim), error);
}

bool Transport::start(std::string& error) {
    if (!loops.open(error)) return false;
    loops.start();
    return true;
}

void Transport::stop() {
    acceptor.stop();
    // Release, paired with the acquire load in connectTo: a caller that sees the stop sees the
    // acceptor stopped. It guards no data, and nothing needs one total order with other atomics.
    stopping.store(true, std::memory_order_release);
    loops.stop();
    flushQueuedOutput();
    std::map<int, std::shared_ptr<Connection>> closing;
    {
        MutexLock hold(mutex);
        closing.swap(connections);
    }
    outbound.clear();
    for (auto& entry : closing) entry.second->close();
}

// Once the threads have ended: waits, up to a deadline, for queued output to leave.
void Transport::flushQueuedOutput() {
    const auto deadline = std::chrono::steady_clock::now() + kStopFlushTime;
    for (;;) {
        std::vector<std::shared_ptr<Connection>> waiting;
        {
            MutexLock hold(mutex);
            for (const auto& entry : connections) {
                if (entry.second->hasQueuedOutput()) waiting.push_back(entry.second);
            }
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (waiting.empty() || left.count() <= 0) return;
        std::vector<pollfd> polled;
        for (const auto& connection : waiting) polled.push_back({connection->fd(), POLLOUT, 0});
        if (poll(polled.data(), polled.size(), static_cast<int>(left.count())) <= 0) return;
        for (std::size_t i = 0; i < polled.size(); ++i) {
            if (polled[i].revents == 0) continue;
            if (!waiting[i]->writeQueued()) dropConnection(waiting[i]);
        }
    }
}

SendResult Transport::send(const Frame& frame, std::shared_ptr<Connection>* via,
                           const Connection* asker,
                           const std::function<void(const Connection&)>& sending) {
    // A kept connection may have been closed by the peer since its last use: one more try on
    // a fresh one tells a peer that went away from one that only hung up. Each try has its own
    // encoding, which the connection keeps: the second, rare, spares the first a copy.
    for (int attempt = 0; attempt < 2; ++attempt) {
        std::string bytes;
        if (!appendEncodedFrame(frame, bytes)) return SendResult::TooLarge;
        SendResult result = SendResult::Refused;
        std::shared_ptr<Connection> connection =
            asker != nullptr ? outbound.findFor(frame.destination, accountOf(asker->credentials()))
                             : outbound.find(frame.destination);
        if (connection == nullptr) connection = connectTo(frame.destination, result, asker);
        if (connection == nullptr) return result;
        if (asker != nullptr && !reachesOwnPeer(*asker, *connection)) return SendResult::Foreign;
        if (via != nullptr) *via = connection;
        if (sending) sending(*connection);
        if (RuntimeDirectory::isPrivateChannel(frame.source) ||
            RuntimeDirectory::isPrivateChannel(frame.remoteContext)) {
            connection->carryPrivateChannel();
        }
        result = connection->send(std::move(bytes));
        if (result != SendResult::Refused) return result;
        outbound.forget(connection);
    }
    return SendResult::Refused;
}

bool Transport::ownsChannel(const Connection& asker, const std::string& channel) {
    const std::shared_ptr<Connection> connection =
        outbound.findFor(channel, accountOf(asker.credentials()));
    if (connection != nullptr) return reachesOwnPeer(asker, *connection);
    return !RuntimeDirectory::isPrivateChannel(channel) && socketOwnedBy(asker, channel);
}

// A connection accepted here carries a private channel of its peer's, and only that peer's
// own connection is its own; one made here reaches the process serving a channel. A caller of
// another device has no user here (its uid, unknown, is every such caller's): only the
// connection it came on is its own.
bool Transport::reachesOwnPeer(const Connection& asker, const Connection& connection) const {
    if (asker.credentials().uid == 0) return true;
    if (connection.peerChannel().empty() || asker.credentials().isRemote()) {
        return &connection == &asker;
    }
    return servedByUser(connection.credentials(), connection.peerChannel(),
                        asker.credentials().uid);
}

// The kernel names the process that made a listening socket as the peer of every connection
// to it: under socket activation, the service manager. The service it passed the socket to
// holds the channel's claim, in the runtime directory as any service's.
bool Transport::servedByUser(const PeerCredentials& server, const std::string& channel,
                             uid_t user) const {
    if (server.uid == user) return true;
    if (!server.isRoot() || !directory.isValidChannel(channel) ||
        RuntimeDirectory::isPrivateChannel(channel) || directory.isRemoteChannel(channel)) {
        return false;
    }
    const std::optional<ChannelClaim::Holder> holder = ChannelClaim::holderOf(directory, channel);
    return holder && holder->pid != kHolderUnknown && holder->user == user &&
           socketFileOf(user, channel);
}

bool Transport::socketOwnedBy(const Connection& asker, const std::string& channel) const {
    return asker.credentials().uid == 0 || socketFileOf(asker.credentials().uid, channel);
}

bool Transport::socketFileOf(uid_t user, const std::string& channel) const {
    if (!directory.isValidChannel(channel)) return false;
    struct stat status {};
    return lstat(directory.socketPath(channel).c_str(), &status) == 0 && S_ISSOCK(status.st_mode) &&
           status.st_uid == user;
}

SendResult Transport::reply(Connection& to, const Frame& frame, std::vector<UniqueFd> descriptors,
                            std::size_t mostBody) {
    std::string bytes;
    if (!appendEncodedFrame(frame, bytes, mostBody)) return SendResult::TooLarge;
    return to.send(std::move(bytes), std::move(descriptors));
}

std::size_t Transport::connectionCount() {
    MutexLock hold(mutex);
    return connections.size();
}

void Transport::disconnect(const std::string& channel) {
    std::shared_ptr<Connection> connection = outbound.find(channel);
    if (connection != nullptr) dropConnection(connection);
}

void Transport::post(std::function<void()> task) {
    loops.post(std::move(task));
}

bool Transport::onTransportThread() {
    return EventLoops::onLoopThread();
}

}  // namespace svcreg
