#include "Transport.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fcntl.h>
#include <cerrno>
#include <cstring>

#include "HostLog.h"

namespace {

constexpr int kMaxEvents = 64;
// Reads per readiness event, so that one busy peer cannot starve the others.
constexpr int kReadsPerEvent = 4;
constexpr std::size_t kReadChunk = 64 * 1024;
// Frames a worker handles for one connection before it lets other connections have a turn.
constexpr int kFramesPerTurn = 16;
constexpr auto kStopFlushTime = std::chrono::seconds(2);

void watch(int epollFd, int fd, unsigned events) {
    epoll_event event{};
    event.events = events;
    event.data.fd = fd;
    epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &event);
}

bool sameFile(int fd, const std::string& path) {
    struct stat opened {};
    struct stat named {};
    return fstat(fd, &opened) == 0 && stat(path.c_str(), &named) == 0 &&
           opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

// The lock file is removed by the process that held it when it stops serving; a process that
// opened it just before must then try again on the new file, or two would hold "the" lock.
UniqueFd lockChannel(const std::string& lockPath, std::string& error) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        UniqueFd lock(open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
        if (!lock.valid()) {
            error = "cannot open '" + lockPath + "': " + std::strerror(errno);
            return UniqueFd();
        }
        if (flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
            error = errno == EWOULDBLOCK
                        ? "another process already serves this channel"
                        : std::string("cannot lock '") + lockPath + "': " + std::strerror(errno);
            return UniqueFd();
        }
        if (sameFile(lock.get(), lockPath)) return lock;
    }
    error = "'" + lockPath + "' keeps changing";
    return UniqueFd();
}

}  // namespace

Transport::Transport(RuntimeDirectory directory, FrameHandler& handler, unsigned workerThreads)
    : directory(std::move(directory)),
      handler(handler),
      epoll(epoll_create1(EPOLL_CLOEXEC)),
      wakeEvent(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
      workers(workerThreads) {
    watch(epoll.get(), wakeEvent.get(), EPOLLIN);
}

Transport::~Transport() {
    stop();
}

bool Transport::listen(const std::string& channel, std::string& error) {
    if (!directory.isValidChannel(channel)) {
        error = "'" + channel + "' is not a valid channel name";
        return false;
    }
    UniqueFd lock = lockChannel(directory.lockPath(channel), error);
    if (!lock.valid()) return false;
    UniqueFd socket = listenAt(directory.socketPath(channel), error);
    if (!socket.valid()) return false;

    const int fd = socket.get();
    {
        std::lock_guard<std::mutex> hold(mutex);
        listeners[fd] = Listener{channel, std::move(socket), std::move(lock)};
    }
    watch(epoll.get(), fd, EPOLLIN);
    return true;
}

void Transport::start() {
    thread = std::thread([this] { loop(); });
}

void Transport::stop() {
    {
        std::lock_guard<std::mutex> hold(mutex);
        for (auto& [fd, listener] : listeners) {
            epoll_ctl(epoll.get(), EPOLL_CTL_DEL, fd, nullptr);
            unlink(directory.socketPath(listener.channel).c_str());
            unlink(directory.lockPath(listener.channel).c_str());
        }
        listeners.clear();
        pausedListeners.clear();
    }
    workers.stop();
    stopDeadline = std::chrono::steady_clock::now() + kStopFlushTime;
    stopRequested = true;
    wakeLoop();
    if (thread.joinable()) thread.join();

    std::map<int, std::shared_ptr<Connection>> closing;
    {
        std::lock_guard<std::mutex> hold(mutex);
        closing.swap(connections);
        outbound.clear();
        toResume.clear();
    }
    for (auto& entry : closing) entry.second->close();
}

SendResult Transport::send(const Frame& frame, std::shared_ptr<Connection>* via) {
    std::string bytes;
    if (!appendEncodedFrame(frame, bytes)) return SendResult::Refused;
    // A cached connection may have been closed by the peer since its last use: one more try
    // on a fresh one tells a peer that went away from one that only hung up.
    for (int attempt = 0; attempt < 2; ++attempt) {
        SendResult result = SendResult::Refused;
        std::shared_ptr<Connection> connection = outboundTo(frame.destination, result);
        if (connection == nullptr) return result;
        if (via != nullptr) *via = connection;
        const bool lastAttempt = attempt == 1;
        result = connection->send(lastAttempt ? std::move(bytes) : std::string(bytes));
        if (result != SendResult::Refused) return result;
        forgetOutbound(connection);
    }
    return SendResult::Refused;
}

SendResult Transport::reply(Connection& to, const Frame& frame) {
    std::string bytes;
    if (!appendEncodedFrame(frame, bytes)) return SendResult::Refused;
    return to.send(std::move(bytes));
}

void Transport::post(std::function<void()> task) {
    workers.post(std::move(task));
}

std::shared_ptr<Connection> Transport::outboundTo(const std::string& channel, SendResult& failure) {
    {
        std::lock_guard<std::mutex> hold(mutex);
        auto found = outbound.find(channel);
        if (found != outbound.end() && !found->second->isClosed()) return found->second;
    }
    if (stopRequested || !directory.isValidChannel(channel)) {
        failure = SendResult::Refused;
        return nullptr;
    }
    UniqueFd socket;
    switch (connectTo(directory.socketPath(channel), socket)) {
        case ConnectResult::Connected:
            break;
        case ConnectResult::Busy:
            failure = SendResult::Busy;
            return nullptr;
        case ConnectResult::Gone:
            failure = SendResult::Gone;
            return nullptr;
        case ConnectResult::Failed:
            failure = SendResult::Refused;
            return nullptr;
    }
    std::shared_ptr<Connection> connection = adopt(std::move(socket), channel);
    std::lock_guard<std::mutex> hold(mutex);
    // Two threads may connect at once; both connections work, the map keeps the last.
    outbound[channel] = connection;
    return connection;
}

void Transport::forgetOutbound(const std::shared_ptr<Connection>& connection) {
    std::lock_guard<std::mutex> hold(mutex);
    auto found = outbound.find(connection->peerChannel());
    if (found != outbound.end() && found->second == connection) outbound.erase(found);
}

std::shared_ptr<Connection> Transport::adopt(UniqueFd socket, const std::string& peerChannel) {
    const int fd = socket.get();
    auto connection = std::make_shared<Connection>(std::move(socket), epoll.get(), peerChannel);
    {
        std::lock_guard<std::mutex> hold(mutex);
        connections[fd] = connection;
    }
    watch(epoll.get(), fd, EPOLLIN);
    return connection;
}

void Transport::wakeLoop() {
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t written = write(wakeEvent.get(), &one, sizeof(one));
}

void Transport::loop() {
    epoll_event events[kMaxEvents];
    while (!shouldLeaveLoop()) {
        const int timeoutMs = stopRequested ? 50 : -1;
        const int count = epoll_wait(epoll.get(), events, kMaxEvents, timeoutMs);
        for (int i = 0; i < count; ++i) {
            const int fd = events[i].data.fd;
            if (fd == wakeEvent.get()) {
                std::uint64_t value;
                [[maybe_unused]] ssize_t taken = read(wakeEvent.get(), &value, sizeof(value));
                resumePaused();
                continue;
            }
            std::shared_ptr<Connection> connection;
            bool isListener = false;
            {
                std::lock_guard<std::mutex> hold(mutex);
                isListener = listeners.count(fd) != 0;
                auto found = connections.find(fd);
                if (found != connections.end()) connection = found->second;
            }
            if (isListener) {
                acceptFrom(fd);
            } else if (connection != nullptr) {
                serviceConnection(connection, events[i].events);
            }
        }
    }
}

// Once stop is asked for, the loop stays only while queued output may still leave.
bool Transport::shouldLeaveLoop() {
    if (!stopRequested) return false;
    if (std::chrono::steady_clock::now() >= stopDeadline) return true;
    std::lock_guard<std::mutex> hold(mutex);
    for (const auto& entry : connections) {
        if (entry.second->hasQueuedOutput()) return false;
    }
    return true;
}

void Transport::acceptFrom(int listenerFd) {
    for (;;) {
        UniqueFd socket(accept4(listenerFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!socket.valid()) {
            if (errno == EMFILE || errno == ENFILE) pauseAccepting(listenerFd);
            return;
        }
        {
            std::lock_guard<std::mutex> hold(mutex);
            if (acceptedCount >= kMaxAcceptedConnections) {
                HOST_FAILURE("Too many connections (%zu): closing a new one", acceptedCount);
                continue;
            }
            ++acceptedCount;
        }
        adopt(std::move(socket), std::string());
    }
}

// Out of descriptors, the pending connection cannot be taken and the listener would stay
// readable: it leaves the set until a connection closes.
void Transport::pauseAccepting(int listenerFd) {
    HOST_FAILURE("Out of file descriptors: accepting no connection until one closes");
    epoll_ctl(epoll.get(), EPOLL_CTL_DEL, listenerFd, nullptr);
    std::lock_guard<std::mutex> hold(mutex);
    pausedListeners.push_back(listenerFd);
}

void Transport::resumeAccepting() {
    std::vector<int> paused;
    {
        std::lock_guard<std::mutex> hold(mutex);
        paused.swap(pausedListeners);
    }
    for (const int fd : paused) watch(epoll.get(), fd, EPOLLIN);
}

void Transport::serviceConnection(const std::shared_ptr<Connection>& connection, unsigned events) {
    if ((events & EPOLLOUT) != 0 && !connection->writeQueued()) {
        dropConnection(connection);
        return;
    }
    const bool hungUp = (events & (EPOLLHUP | EPOLLERR)) != 0;
    if ((events & EPOLLIN) != 0 || hungUp) {
        if (!readFrom(connection, hungUp) || hungUp) dropConnection(connection);
    }
}

// False when the stream has ended or broken. toTheEnd reads and queues everything the peer
// sent before hanging up, whatever the inbox holds, so that nothing it sent is lost.
bool Transport::readFrom(const std::shared_ptr<Connection>& connection, bool toTheEnd) {
    char chunk[kReadChunk];
    for (int reads = 0; toTheEnd || reads < kReadsPerEvent; ++reads) {
        const ssize_t received = recv(connection->fd(), chunk, sizeof(chunk), MSG_DONTWAIT);
        if (received == 0) {
            takeFrames(connection, true);
            return false;
        }
        if (received < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN) return takeFrames(connection, toTheEnd) != Intake::Broken;
            return false;
        }
        connection->reader.append(chunk, static_cast<std::size_t>(received));
        const Intake intake = takeFrames(connection, toTheEnd);
        if (intake == Intake::Broken) return false;
        if (intake == Intake::Paused) return true;
    }
    return true;
}

// Hands whole frames to dispatch until none is left, the inbox is full (which pauses reading)
// or the stream turns out broken.
Transport::Intake Transport::takeFrames(const std::shared_ptr<Connection>& connection,
                                        bool ignoreInboxBound) {
    for (;;) {
        if (!ignoreInboxBound && connection->pauseReadingIfInboxFull()) return Intake::Paused;
        Frame frame;
        switch (connection->reader.next(frame)) {
            case FrameReader::Status::Ready:
                dispatch(connection, std::move(frame));
                break;
            case FrameReader::Status::NeedMore:
                return Intake::Emptied;
            case FrameReader::Status::Malformed:
                HOST_FAILURE("Malformed frame on connection %d: closing it", connection->fd());
                return Intake::Broken;
            case FrameReader::Status::TooLarge:
                HOST_FAILURE("Frame over %zu bytes on connection %d: closing it", kMaxFrameBodySize,
                             connection->fd());
                return Intake::Broken;
        }
    }
}

void Transport::dispatch(const std::shared_ptr<Connection>& connection, Frame&& frame) {
    if (frame.kind == Frame::Kind::Reply) {
        handler.handleReply(*connection, frame);
        return;
    }
    if (connection->pushInbound(std::move(frame))) {
        workers.post([this, connection] { drain(connection); });
    }
}

void Transport::drain(const std::shared_ptr<Connection>& connection) {
    Frame frame;
    for (int handled = 0; handled < kFramesPerTurn; ++handled) {
        if (!connection->popInbound(frame)) return;
        handler.handleFrame(connection, frame);
        if (connection->drainedWhilePaused()) {
            {
                std::lock_guard<std::mutex> hold(mutex);
                toResume.push_back(connection);
            }
            wakeLoop();
        }
    }
    workers.post([this, connection] { drain(connection); });
}

void Transport::resumePaused() {
    std::vector<std::shared_ptr<Connection>> resuming;
    {
        std::lock_guard<std::mutex> hold(mutex);
        resuming.swap(toResume);
    }
    for (const auto& connection : resuming) {
        if (connection->isClosed()) continue;
        // Frames already read come first. Reading resumes only once none is left: while some
        // are, the inbox is full again, and its worker asks for another turn when it drains.
        switch (takeFrames(connection, false)) {
            case Intake::Broken:
                dropConnection(connection);
                break;
            case Intake::Emptied:
                connection->resumeReading();
                break;
            case Intake::Paused:
                break;
        }
    }
}

void Transport::dropConnection(const std::shared_ptr<Connection>& connection) {
    epoll_ctl(epoll.get(), EPOLL_CTL_DEL, connection->fd(), nullptr);
    connection->close();
    {
        std::lock_guard<std::mutex> hold(mutex);
        if (connections.erase(connection->fd()) != 0 && connection->peerChannel().empty()) {
            --acceptedCount;
        }
    }
    forgetOutbound(connection);
    handler.connectionClosed(*connection);
    resumeAccepting();
}
