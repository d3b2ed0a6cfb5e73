#include "Transport.h"

#include <malloc.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>
#include <vector>

#include "ChannelClaim.h"
#include "HostLog.h"
#include "ServedChannels.h"

namespace svcreg {

namespace {

// Reads per readiness event, so that one busy peer cannot starve the others.
constexpr int kReadsPerEvent = 4;
constexpr std::size_t kReadChunk = 64 * 1024;
// What a waiting thread reads at a time: replies are small, and its stack may be too.
constexpr std::size_t kWaiterReadChunk = 16 * 1024;
// The longest a waiting thread blocks in a receive before it looks at its deadline again.
constexpr std::chrono::milliseconds kWaiterReceiveSlice{100};
constexpr auto kStopFlushTime = std::chrono::seconds(2);

std::size_t fitted(std::size_t cap, std::size_t descriptors) {
    return std::max<std::size_t>(1, std::min(cap, descriptors));
}

// Gives back a connection's read turn, taken already, however the scope ends.
class HeldReadTurn {
public:
    explicit HeldReadTurn(Connection& connection) : connection(connection) {}
    ~HeldReadTurn() { connection.giveReadTurn(); }
    HeldReadTurn(const HeldReadTurn&) = delete;
    HeldReadTurn& operator=(const HeldReadTurn&) = delete;

private:
    Connection& connection;
};

// Receives into chunk what comes on connection before deadline, as recv(2); -1 with errno
// ETIMEDOUT once deadline has passed. While the deadline is further off than the longest a
// receive blocks there, it blocks in the receive, which wakes straight out of the kernel with the
// bytes; else, and for the rest, it polls, then receives.
ssize_t receiveBefore(const Connection& connection, char* chunk, std::size_t size,
                      SteadyTime deadline) {
    const std::chrono::milliseconds slice = connection.receiveSlice();
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        if (slice.count() > 0 && left > slice) {
            const ssize_t received = recv(connection.fd(), chunk, size, 0);
            // EAGAIN: the slice has passed with nothing.
            if (received >= 0 || (errno != EAGAIN && errno != EINTR)) return received;
            continue;
        }
        pollfd input{connection.fd(), POLLIN, 0};
        const int ready = poll(&input, 1, static_cast<int>(left.count()));
        if (ready > 0) return recv(connection.fd(), chunk, size, MSG_DONTWAIT);
        if (ready == 0 || errno != EINTR) break;
    }
    errno = ETIMEDOUT;
    return -1;
}

}  // namespace

// Of the descriptors for connections, three quarters go to accepted ones, the rest outbound.
Transport::Transport(RuntimeDirectory directory, FrameHandler& handler, unsigned threads,
                     const ConnectionLimits& limits)
    : directory(std::move(directory)),
      handler(handler),
      limits(limits),
      maxOutbound(fitted(limits.outboundConnections, descriptorsForConnections() / 4)),
      acceptedConnections(limits.connectionsPerUser,
                          fitted(limits.connections, descriptorsForConnections() / 4 * 3)),
      budgets(std::make_shared<ConnectionBudgets>(limits)),
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
    stopping = true;
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
                           const Connection* asker) {
    std::string bytes;
    if (!appendEncodedFrame(frame, bytes)) return SendResult::TooLarge;
    // A kept connection may have been closed by the peer since its last use: one more try on
    // a fresh one tells a peer that went away from one that only hung up.
    for (int attempt = 0; attempt < 2; ++attempt) {
        SendResult result = SendResult::Refused;
        std::shared_ptr<Connection> connection = outbound.find(frame.destination);
        if (connection == nullptr) connection = connectTo(frame.destination, result, asker);
        if (connection == nullptr) return result;
        if (asker != nullptr && !reachesOwnPeer(*asker, *connection)) return SendResult::Foreign;
        if (via != nullptr) *via = connection;
        if (RuntimeDirectory::isPrivateChannel(frame.source) ||
            RuntimeDirectory::isPrivateChannel(frame.remoteContext)) {
            connection->carryPrivateChannel();
        }
        const bool lastAttempt = attempt == 1;
        result = connection->send(lastAttempt ? std::move(bytes) : std::string(bytes));
        if (result != SendResult::Refused) return result;
        outbound.forget(connection);
    }
    return SendResult::Refused;
}

bool Transport::ownsChannel(const Connection& asker, const std::string& channel) {
    const std::shared_ptr<Connection> connection = outbound.find(channel);
    if (connection != nullptr) return reachesOwnPeer(asker, *connection);
    return !RuntimeDirectory::isPrivateChannel(channel) && socketOwnedBy(asker, channel);
}

// A connection accepted here carries a private channel of its peer's, and only that peer's
// own connection is its own; one made here reaches the process serving a channel.
bool Transport::reachesOwnPeer(const Connection& asker, const Connection& connection) {
    if (asker.credentials().uid == 0) return true;
    if (connection.peerChannel().empty()) return &connection == &asker;
    return connection.credentials().uid == asker.credentials().uid;
}

bool Transport::socketOwnedBy(const Connection& asker, const std::string& channel) const {
    if (asker.credentials().uid == 0) return true;
    if (!directory.isValidChannel(channel)) return false;
    struct stat status {};
    return lstat(directory.socketPath(channel).c_str(), &status) == 0 && S_ISSOCK(status.st_mode) &&
           status.st_uid == asker.credentials().uid;
}

SendResult Transport::reply(Connection& to, const Frame& frame, std::vector<UniqueFd> descriptors) {
    std::string bytes;
    if (!appendEncodedFrame(frame, bytes)) return SendResult::TooLarge;
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

std::shared_ptr<Connection> Transport::connectTo(const std::string& channel, SendResult& failure,
                                                 const Connection* asker) {
    failure = SendResult::Refused;
    if (stopping || !directory.isValidChannel(channel)) return nullptr;
    if (RuntimeDirectory::isPrivateChannel(channel)) {
        failure = SendResult::Gone;  // its connection has closed
        return nullptr;
    }
    if (!roomForOutbound()) {
        failure = SendResult::Busy;
        return nullptr;
    }
    UniqueFd socket;
    const bool forAsker = asker != nullptr && !asker->credentials().isRoot();
    const uid_t askersUser = forAsker ? asker->credentials().uid : 0;
    switch (svcreg::connectTo(directory.socketPath(channel), socket,
                              forAsker ? &askersUser : nullptr)) {
        case ConnectResult::Connected:
            break;
        case ConnectResult::Busy:
            failure = SendResult::Busy;
            return nullptr;
        case ConnectResult::Gone:
            failure = SendResult::Gone;
            return nullptr;
        case ConnectResult::Forbidden:
            failure = SendResult::Forbidden;
            return nullptr;
        case ConnectResult::OtherOwner:
            failure = SendResult::Foreign;
            return nullptr;
        case ConnectResult::Failed:
            return nullptr;
    }
    PeerCredentials server = peerCredentialsOf(socket.get());
    // An answer goes only to a socket of its asker's user, and a process of that user at its
    // other end: nothing is kept of a connection made for another's answer.
    if (forAsker && server.uid != askersUser) {
        failure = SendResult::Foreign;
        return nullptr;
    }
    if (!handler.admitsPeer(server, channel)) {
        failure = SendResult::Untrusted;
        return nullptr;
    }
    std::shared_ptr<Connection> connection = adopt(std::move(socket), channel, std::move(server));
    if (connection == nullptr) return nullptr;
    // A thread waiting for a reply over it may block in a receive.
    connection->letReceivesBlock(kWaiterReceiveSlice);
    const std::shared_ptr<Connection> kept = outbound.keep(connection);
    // Another thread connected first: this one, which carried nothing, goes unannounced.
    if (kept != connection) dropConnection(connection, false);
    return kept;
}

bool Transport::roomForOutbound() {
    if (outboundCount < maxOutbound) return true;
    std::shared_ptr<Connection> longestUnused;
    {
        MutexLock hold(mutex);
        for (const auto& entry : connections) {
            const Connection& candidate = *entry.second;
            if (candidate.peerChannel().empty() || candidate.carriesPrivateChannel() ||
                candidate.hasQueuedOutput()) {
                continue;
            }
            if (longestUnused == nullptr ||
                candidate.lastActivity() < longestUnused->lastActivity()) {
                longestUnused = entry.second;
            }
        }
    }
    if (longestUnused != nullptr) {
        dropConnection(longestUnused);
        return true;
    }
    HOST_FAILURE("%zu outbound connections, each with output waiting: no room for another",
                 maxOutbound);
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

// Null, with the connection closed, when no epoll set takes it.
std::shared_ptr<Connection> Transport::adopt(UniqueFd socket, const std::string& peerChannel,
                                             PeerCredentials credentials) {
    const int fd = socket.get();
    const int set = loops.reserveQuietestSet();
    auto connection = std::make_shared<Connection>(std::move(socket), set, peerChannel,
                                                   std::move(credentials), budgets);
    {
        MutexLock hold(mutex);
        connections[fd] = connection;
    }
    if (!peerChannel.empty()) ++outboundCount;
    // Listed before it is watched: its first event finds it.
    if (set >= 0 && loops.watch(set, fd, EPOLLIN | EPOLLET)) return connection;
    HOST_FAILURE("Cannot watch the connection of %s: %s; closing it",
                 connection->credentials().describe().c_str(), std::strerror(errno));
    dropConnection(connection);
    return nullptr;
}

// Nothing a peer sends may end the process: running out of memory while reading or handling
// a peer's frames costs that peer its connection only.
void Transport::onReady(int fd, unsigned events) {
    try {
        handleReady(fd, events);
    } catch (const std::exception& failure) {
        closeAfter(failure, connectionAt(fd));
    }
}

void Transport::closeAfter(const std::exception& failure,
                           const std::shared_ptr<Connection>& connection) {
    HOST_FAILURE(
        "%s while handling %s: closing its connection", failure.what(),
        connection != nullptr ? connection->credentials().describe().c_str() : "a new connection");
    if (connection != nullptr) dropConnection(connection);
}

// Connections first: nearly every event is theirs.
void Transport::handleReady(int fd, unsigned events) {
    const std::shared_ptr<Connection> connection = connectionAt(fd);
    if (connection != nullptr) {
        if (!handleEvents(connection, events)) dropConnection(connection);
    } else if (acceptor.isListener(fd)) {
        acceptor.acceptFrom(fd);
    } else {
        ends.handleReady(fd);
    }
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
            } else if (!connection.peerChannel().empty() && !connection.carriesPrivateChannel() &&
                       now - connection.lastActivity() > limits.idleTimeout &&
                       !connection.hasQueuedOutput()) {
                idle.push_back(entry.second);
            }
        }
    }
    for (const auto& connection : stalled) {
        HOST_PEER_FAILURE(LogLimiter::aboutUser(connection->credentials().uid),
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
    if (budgets->memoryToReturn.exchange(false)) malloc_trim(0);
}

std::shared_ptr<Connection> Transport::connectionAt(int fd) {
    MutexLock hold(mutex);
    auto found = connections.find(fd);
    return found != connections.end() ? found->second : nullptr;
}

// False when the connection has ended or broken.
bool Transport::handleEvents(const std::shared_ptr<Connection>& connection, unsigned events) {
    if ((events & EPOLLOUT) != 0 && !connection->writeQueued()) return false;
    const bool hungUp = (events & (EPOLLHUP | EPOLLERR)) != 0;
    if ((events & EPOLLIN) == 0 && !hungUp) return true;
    // A waiter reading the connection sees its end itself, and what it leaves unread is
    // reported again once it gives the turn back.
    if (!connection->takeReadTurn(Connection::Reader::EventLoop)) return true;
    const HeldReadTurn turn(*connection);
    return readFrom(connection, hungUp) && !hungUp;
}

// False when the stream has ended or broken. toTheEnd reads and handles everything the peer
// sent before hanging up, so that nothing it sent is lost.
bool Transport::readFrom(const std::shared_ptr<Connection>& connection, bool toTheEnd) {
    char chunk[kReadChunk];
    for (int reads = 0; toTheEnd || reads < kReadsPerEvent; ++reads) {
        const ssize_t received = recv(connection->fd(), chunk, sizeof(chunk), MSG_DONTWAIT);
        if (received == 0) {
            handleFrames(connection);
            return false;
        }
        if (received < 0) {
            if (errno == EINTR) continue;
            return errno == EAGAIN;
        }
        ServedChannels::received();
        connection->reader.append(chunk, static_cast<std::size_t>(received));
        if (!handleFrames(connection) || !withinUnfinishedBudget(*connection)) return false;
        // A short read has emptied the socket; what arrives later reports anew.
        if (static_cast<std::size_t>(received) < sizeof(chunk) && !toTheEnd) return true;
    }
    connection->reportAgain();  // bytes may be left: a later turn, maybe another thread's
    return true;
}

// Handles every whole frame the reader holds; false when the stream turns out broken.
bool Transport::handleFrames(const std::shared_ptr<Connection>& connection) {
    for (;;) {
        Frame frame;
        bool broken = false;
        if (!takeFrame(*connection, frame, broken)) return !broken;
        handleFrame(connection, frame);
    }
}

void Transport::handleFrame(const std::shared_ptr<Connection>& connection, Frame& frame) {
    if (frame.kind == Frame::Kind::Reply) {
        handler.handleReply(*connection, frame);
    } else if (namesOwnChannelsOnly(connection, frame)) {
        handler.handleFrame(connection, frame);
    }
}

bool Transport::takeFrame(Connection& connection, Frame& frame, bool& broken) {
    switch (connection.reader.next(frame)) {
        case FrameReader::Status::Ready:
            return true;
        case FrameReader::Status::NeedMore:
            return false;
        case FrameReader::Status::Malformed:
            HOST_PEER_FAILURE(LogLimiter::aboutUser(connection.credentials().uid),
                              "Malformed frame from %s: closing its connection",
                              connection.credentials().describe().c_str());
            break;
        case FrameReader::Status::TooLarge:
            HOST_PEER_FAILURE(LogLimiter::aboutUser(connection.credentials().uid),
                              "Frame over %zu bytes from %s: closing its connection",
                              kMaxFrameBodySize, connection.credentials().describe().c_str());
            break;
    }
    broken = true;
    return false;
}

Transport::ReplyReading::ReplyReading(Transport& transport, const std::string& destination)
    : transport(transport) {
    hold(transport.outbound.find(destination));
}

Transport::ReplyReading::~ReplyReading() {
    giveBack();
}

void Transport::ReplyReading::hold(std::shared_ptr<Connection> connection) {
    if (connection != nullptr && !onTransportThread() &&
        connection->takeReadTurn(Connection::Reader::Waiter)) {
        held = std::move(connection);
    }
}

// What the waiter leaves unread in the socket is reported to the transport's threads once it
// gives the turn back.
void Transport::ReplyReading::giveBack() {
    if (held != nullptr) held->giveReadTurn();
    held = nullptr;
}

// The request goes over the connection held, unless that one had closed: via is a new one then.
void Transport::ReplyReading::readUntil(const std::shared_ptr<Connection>& via, SteadyTime deadline,
                                        const std::function<bool()>& answered) {
    if (held != via) {
        giveBack();
        hold(via);
    }
    if (held == nullptr || answered()) return;
    if (!transport.readWhileWaiting(held, deadline, answered)) held = nullptr;
}

bool Transport::readWhileWaiting(const std::shared_ptr<Connection>& connection, SteadyTime deadline,
                                 const std::function<bool()>& answered) {
    try {
        switch (readUntilAnswered(connection, deadline, answered)) {
            case WaiterRead::HandedOver:
                return false;
            case WaiterRead::Ended:
                dropConnection(connection);
                break;
            default:
                break;
        }
    } catch (const std::exception& failure) {
        closeAfter(failure, connection);
    }
    return true;
}

Transport::WaiterRead Transport::readUntilAnswered(const std::shared_ptr<Connection>& connection,
                                                   SteadyTime deadline,
                                                   const std::function<bool()>& answered) {
    char chunk[kWaiterReadChunk];
    for (;;) {
        const ssize_t received = receiveBefore(*connection, chunk, sizeof(chunk), deadline);
        if (received == 0) return WaiterRead::Ended;
        if (received < 0) {
            if (errno == ETIMEDOUT) return WaiterRead::TimedOut;
            if (errno == EINTR || errno == EAGAIN) continue;
            return WaiterRead::Ended;
        }
        ServedChannels::received();
        connection->reader.append(chunk, static_cast<std::size_t>(received));
        const WaiterRead handled = handleFramesWhileWaiting(connection);
        if (handled != WaiterRead::GoingOn) return handled;
        if (!withinUnfinishedBudget(*connection)) return WaiterRead::Ended;
        if (answered()) return WaiterRead::Answered;
    }
}

Transport::WaiterRead Transport::handleFramesWhileWaiting(
    const std::shared_ptr<Connection>& connection) {
    for (;;) {
        Frame frame;
        bool broken = false;
        if (!takeFrame(*connection, frame, broken)) {
            return broken ? WaiterRead::Ended : WaiterRead::GoingOn;
        }
        if (!handler.handledWhileWaiting(frame)) {
            post([this, connection, frame = std::move(frame)]() mutable {
                takeOverFromWaiter(connection, frame);
            });
            return WaiterRead::HandedOver;
        }
        handleFrame(connection, frame);
    }
}

void Transport::takeOverFromWaiter(const std::shared_ptr<Connection>& connection, Frame& first) {
    const HeldReadTurn turn(*connection);
    try {
        handleFrame(connection, first);
        if (!handleFrames(connection) || !withinUnfinishedBudget(*connection)) {
            dropConnection(connection);
        }
    } catch (const std::exception& failure) {
        closeAfter(failure, connection);
    }
}

bool Transport::withinUnfinishedBudget(Connection& connection) {
    UserBudget::Verdict verdict;
    if (connection.holdUnfinishedFrame(verdict)) return true;
    HOST_PEER_FAILURE(LogLimiter::aboutUser(connection.credentials().uid),
                      "%s passes the quota of bytes in unfinished frames (%s): closing its "
                      "connection",
                      connection.credentials().describe().c_str(),
                      budgets->unfinishedBytes.describe(verdict).c_str());
    return false;
}

// A peer may name its own private channel only: the first it names, unless another open
// connection holds that one already. The connection is then the way to it until it closes.
// The peer's pid proves nothing: a connection may outlive the process that made it, whose pid
// another process then gets, and a peer in a pid namespace of its own knows itself by a pid
// this process does not see.
bool Transport::namesOwnChannelsOnly(const std::shared_ptr<Connection>& connection,
                                     const Frame& frame) {
    if (!connection->peerChannel().empty()) return true;  // this process's own peer
    for (const std::string* named : {&frame.source, &frame.remoteContext}) {
        if (!RuntimeDirectory::isPrivateChannel(*named)) continue;
        const std::string own = connection->privateChannel();
        if (own == *named) continue;
        if (!own.empty()) {
            HOST_PEER_FAILURE(LogLimiter::aboutUser(connection->credentials().uid),
                              "Frame from %s names '%s', though its private channel is '%s': "
                              "dropped",
                              connection->credentials().describe().c_str(), named->c_str(),
                              own.c_str());
            return false;
        }
        if (!outbound.claim(*named, connection)) {
            HOST_PEER_FAILURE(LogLimiter::aboutUser(connection->credentials().uid),
                              "Frame from %s names '%s', another connection's private channel: "
                              "dropped",
                              connection->credentials().describe().c_str(), named->c_str());
            return false;
        }
        connection->setPrivateChannel(*named);
    }
    return true;
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
        acceptedConnections.give(connection->credentials().uid, 1);
        acceptor.resume();
        const std::string privateChannel = connection->privateChannel();
        if (!privateChannel.empty()) outbound.forgetAs(privateChannel, connection);
    } else {
        --outboundCount;
        outbound.forget(connection);
    }
    ends.connectionEnded(*connection);
    if (tell) handler.connectionClosed(*connection);
}

}  // namespace svcreg
