#include "Transport.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>

#include "HeldReadTurn.h"
#include "ServedChannels.h"

namespace svcreg {

namespace {

// What a waiting thread reads at a time: replies are small, and its stack may be too.
constexpr std::size_t kWaiterReadChunk = 16 * 1024;

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
        if (!handleFrame(connection, frame)) return WaiterRead::Ended;
    }
}

void Transport::takeOverFromWaiter(const std::shared_ptr<Connection>& connection, Frame& first) {
    const HeldReadTurn turn(*connection);
    try {
        if (!handleFrame(connection, first) || !handleFrames(connection) ||
            !withinUnfinishedBudget(*connection)) {
            dropConnection(connection);
        }
    } catch (const std::exception& failure) {
        closeAfter(failure, connection);
    }
}

}  // namespace svcreg
