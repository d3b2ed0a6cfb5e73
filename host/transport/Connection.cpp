#include "Connection.h"

#include <sys/epoll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

namespace svcreg {

Connection::Connection(UniqueFd socket, int epollFd, std::string peerChannel,
                       PeerCredentials credentials)
    : socket(std::move(socket)),
      epollFd(epollFd),
      peer(std::move(peerChannel)),
      peerCredentials(std::move(credentials)) {}

SendResult Connection::send(std::string&& bytes) {
    MutexLock lock(mutex);
    if (closed) return SendResult::Refused;
    if (outbox.size() >= kMaxQueuedFrames || outboxBytes + bytes.size() > kMaxQueuedBytes) {
        return SendResult::Busy;
    }
    outboxBytes += bytes.size();
    outbox.push_back(std::move(bytes));
    const bool wasWaiting = outbox.size() > 1;
    if (!wasWaiting && !writeLocked()) return SendResult::Refused;
    if (!outbox.empty() && !watchingOutput) {
        watchingOutput = true;
        setInterest();
    }
    return SendResult::Queued;
}

bool Connection::writeQueued() {
    MutexLock lock(mutex);
    const bool ok = writeLocked();
    if (ok && outbox.empty() && watchingOutput) {
        watchingOutput = false;
        setInterest();
    }
    return ok;
}

bool Connection::writeLocked() {
    while (!outbox.empty()) {
        const std::string& front = outbox.front();
        const ssize_t written = ::send(socket.get(), front.data() + writtenOfFront,
                                       front.size() - writtenOfFront, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (written < 0) {
            if (errno == EAGAIN || errno == EINTR) return true;
            closed = true;
            outbox.clear();
            outboxBytes = 0;
            shutdown(socket.get(), SHUT_RDWR);
            return false;
        }
        writtenOfFront += static_cast<std::size_t>(written);
        if (writtenOfFront < front.size()) continue;
        outboxBytes -= front.size();
        outbox.pop_front();
        writtenOfFront = 0;
    }
    return true;
}

bool Connection::hasQueuedOutput() const {
    MutexLock lock(mutex);
    return !outbox.empty();
}

void Connection::reportAgain() {
    MutexLock lock(mutex);
    setInterest();  // an edge-triggered descriptor modified while ready reports once more
}

void Connection::noteCallbackChannel(const std::string& channel) {
    constexpr std::size_t kMaxCallbackChannels = 4;
    MutexLock lock(mutex);
    if (callbacks.size() >= kMaxCallbackChannels) return;
    if (std::find(callbacks.begin(), callbacks.end(), channel) == callbacks.end()) {
        callbacks.push_back(channel);
    }
}

std::vector<std::string> Connection::callbackChannels() const {
    MutexLock lock(mutex);
    return callbacks;
}

void Connection::setPrivateChannel(const std::string& channel) {
    MutexLock lock(mutex);
    ownPrivateChannel = channel;
}

std::string Connection::privateChannel() const {
    MutexLock lock(mutex);
    return ownPrivateChannel;
}

void Connection::close() {
    MutexLock lock(mutex);
    if (closed) return;
    closed = true;
    epoll_ctl(epollFd, EPOLL_CTL_DEL, socket.get(), nullptr);
    shutdown(socket.get(), SHUT_RDWR);
}

bool Connection::isClosed() const {
    MutexLock lock(mutex);
    return closed;
}

void Connection::setInterest() {
    epoll_event event{};
    event.events = EPOLLIN | EPOLLET | (watchingOutput ? static_cast<unsigned>(EPOLLOUT) : 0u);
    event.data.fd = socket.get();
    // Fails harmlessly once the transport has dropped the descriptor from its set.
    epoll_ctl(epollFd, EPOLL_CTL_MOD, socket.get(), &event);
}

}  // namespace svcreg
