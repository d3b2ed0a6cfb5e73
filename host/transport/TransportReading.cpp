#include "Transport.h"

#include <sys/epoll.h>
#include <sys/socket.h>

#include <cerrno>

#include "HeldReadTurn.h"
#include "HostLog.h"
#include "ServedChannels.h"

namespace svcreg {

namespace {

// Reads per readiness event, so that one busy peer cannot starve the others.
constexpr int kReadsPerEvent = 4;
constexpr std::size_t kReadChunk = 64 * 1024;

}  // namespace

// Nothing a peer sends may end the process: running out of memory while reading or handling
// a peer's frames costs that peer its connection only.
void Transport::onReady(int fd, unsigned events) {
    try {
        handleReady(fd, events);
    } catch (const std::exception& failure) {
        closeAfter(failure, connectionAt(fd));
    }
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
// sent before hanging up, so that nothing it sent is lost. Else, once a read has emptied the
// socket and what came has been handled, it reads once more, up to kReadsPerEvent reads: a peer
// woken by its reply on this core has often sent its next request by the time the reply has been
// written, and that request is then taken at once, without a trip through epoll_wait. A read on
// that finds nothing costs a recv, made after the reply has gone, and pauses reading on for a few
// turns (see Connection::readsOnOnceEmptied).
bool Transport::readFrom(const std::shared_ptr<Connection>& connection, bool toTheEnd) {
    char chunk[kReadChunk];
    bool emptied = false;
    for (int reads = 0; toTheEnd || reads < kReadsPerEvent; ++reads) {
        const bool readingOn = emptied && !toTheEnd;
        if (readingOn && !connection->readsOnOnceEmptied()) return true;
        const ssize_t received = recv(connection->fd(), chunk, sizeof(chunk), MSG_DONTWAIT);
        if (readingOn) connection->readOnFound(received > 0);
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
        emptied = static_cast<std::size_t>(received) < sizeof(chunk);
    }
    // What came after a read that emptied the socket is reported anew; after a full one bytes
    // may be left, for a later turn, maybe another thread's.
    if (!emptied) connection->reportAgain();
    return true;
}

// Handles every whole frame the reader holds; false when the stream turns out broken.
bool Transport::handleFrames(const std::shared_ptr<Connection>& connection) {
    for (;;) {
        Frame frame;
        bool broken = false;
        if (!takeFrame(*connection, frame, broken)) return !broken;
        if (!handleFrame(connection, frame)) return false;
    }
}

// A relay's frames, whatever their kind, are its handler's.
bool Transport::handleFrame(const std::shared_ptr<Connection>& connection, Frame& frame) {
    if (RelayHandler* relay = connection->relayHandler()) {
        relay->relayFrame(*connection, frame);
    } else if (frame.kind == Frame::Kind::Vouch) {
        return takeVouch(*connection, frame);
    } else if (frame.kind == Frame::Kind::Reply) {
        handler.handleReply(*connection, frame);
    } else if (namesOwnChannelsOnly(connection, frame)) {
        handler.handleFrame(connection, frame);
    }
    return true;
}

bool Transport::takeFrame(Connection& connection, Frame& frame, bool& broken) {
    switch (connection.reader.next(frame)) {
        case FrameReader::Status::Ready:
            return true;
        case FrameReader::Status::NeedMore:
            return false;
        case FrameReader::Status::Malformed:
            HOST_PEER_FAILURE(LogLimiter::aboutPeer(connection.credentials()),
                              "Malformed frame from %s: closing its connection",
                              connection.credentials().describe().c_str());
            break;
        case FrameReader::Status::TooLarge:
            HOST_PEER_FAILURE(LogLimiter::aboutPeer(connection.credentials()),
                              "Frame over %zu bytes from %s: closing its connection",
                              kMaxReadBodySize, connection.credentials().describe().c_str());
            break;
    }
    broken = true;
    return false;
}

bool Transport::withinUnfinishedBudget(Connection& connection) {
    UserBudget::Verdict verdict;
    if (connection.holdUnfinishedFrame(verdict)) return true;
    HOST_PEER_FAILURE(LogLimiter::aboutPeer(connection.credentials()),
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
    // The gateway carries these: the relay on the other device claims them there, and what
    // comes back takes this connection, so the process may name its channel on others too.
    if (directory.isRemoteChannel(frame.destination)) return true;
    for (const std::string* named : {&frame.source, &frame.remoteContext}) {
        if (!RuntimeDirectory::isPrivateChannel(*named)) continue;
        const std::string own = connection->privateChannel();
        if (own == *named) continue;
        if (!own.empty()) {
            HOST_PEER_FAILURE(LogLimiter::aboutPeer(connection->credentials()),
                              "Frame from %s names '%s', though its private channel is '%s': "
                              "dropped",
                              connection->credentials().describe().c_str(), named->c_str(),
                              own.c_str());
            return false;
        }
        if (!outbound.claim(*named, connection)) {
            HOST_PEER_FAILURE(LogLimiter::aboutPeer(connection->credentials()),
                              "Frame from %s names '%s', the private channel of another "
                              "connection of its user: dropped",
                              connection->credentials().describe().c_str(), named->c_str());
            return false;
        }
        connection->setPrivateChannel(*named);
    }
    return true;
}

}  // namespace svcreg
