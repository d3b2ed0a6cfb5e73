#include "Transport.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fcntl.h>
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "HostLog.h"

namespace {

constexpr int kMaxEvents = 16;
// Reads per readiness event, so that one busy peer cannot starve the others.
constexpr int kReadsPerEvent = 4;
constexpr std::size_t kReadChunk = 64 * 1024;
constexpr auto kStopFlushTime = std::chrono::seconds(2);

thread_local bool isTransportThread = false;

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

Transport::Transport(RuntimeDirectory directory, FrameHandler& handler, unsigned threads)
    : directory(std::move(directory)),
      handler(handler),
      wakeEvent(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    for (unsigned i = 0; i < std::max(threads, 1u); ++i) {
        epollSets.emplace_back(epoll_create1(EPOLL_CLOEXEC));
        setLoads.push_back(0);
        watch(epollSets.back().get(), wakeEvent.get(), EPOLLIN);
    }
}

Transport::~Transport() {
    stop();
}

bool Transport::listen(const std::string& channel, std::string& error, UniqueFd given) {
    if (!directory.isValidChannel(channel)) {
        error = "'" + channel + "' is not a valid channel name";
        return false;
    }
    UniqueFd lock = lockChannel(directory.lockPath(channel), error);
    if (!lock.valid()) return false;
    const bool ownsSocketFile = !given.valid();
    UniqueFd socket =
        ownsSocketFile ? listenAt(directory.socketPath(channel), error) : std::move(given);
    if (!socket.valid()) return false;

    const int fd = socket.get();
    {
        std::lock_guard<std::mutex> hold(mutex);
        listeners[fd] = Listener{channel, std::move(socket), std::move(lock), ownsSocketFile};
    }
    watch(listeningSet(), fd, EPOLLIN);
    return true;
}

void Transport::start() {
    for (const UniqueFd& set : epollSets) {
        threads.emplace_back([this, epollSet = set.get()] { loop(epollSet); });
    }
}

void Transport::stop() {
    {
        std::lock_guard<std::mutex> hold(mutex);
        for (auto& [fd, listener] : listeners) {
            epoll_ctl(listeningSet(), EPOLL_CTL_DEL, fd, nullptr);
            if (listener.ownsSocketFile) unlink(directory.socketPath(listener.channel).c_str());
            unlink(directory.lockPath(listener.channel).c_str());
        }
        listeners.clear();
        pausedListeners.clear();
    }
    stopRequested = true;
    wakeThreads();
    for (std::thread& thread : threads) {
        if (thread.joinable()) thread.join();
    }
    threads.clear();
    flushQueuedOutput();

    std::map<int, std::shared_ptr<Connection>> closing;
    {
        std::lock_guard<std::mutex> hold(mutex);
        closing.swap(connections);
        outbound.clear();
        tasks.clear();
    }
    for (auto& entry : closing) entry.second->close();
}

// Once the threads have ended: waits, up to a deadline, for queued output to leave.
void Transport::flushQueuedOutput() {
    const auto deadline = std::chrono::steady_clock::now() + kStopFlushTime;
    for (;;) {
        std::vector<std::shared_ptr<Connection>> waiting;
        {
            std::lock_guard<std::mutex> hold(mutex);
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
    {
        std::lock_guard<std::mutex> hold(mutex);
        tasks.push_back(std::move(task));
    }
    wakeThreads();
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
    std::shared_ptr<Connection> connection;
    int epollSet;
    {
        std::lock_guard<std::mutex> hold(mutex);
        const auto quietest = std::min_element(setLoads.begin(), setLoads.end());
        ++*quietest;
        epollSet = epollSets[quietest - setLoads.begin()].get();
        connection = std::make_shared<Connection>(std::move(socket), epollSet, peerChannel);
        connections[fd] = connection;
    }
    watch(epollSet, fd, EPOLLIN | EPOLLET);
    return connection;
}

void Transport::wakeThreads() {
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t written = write(wakeEvent.get(), &one, sizeof(one));
}

bool Transport::onTransportThread() {
    return isTransportThread;
}

void Transport::loop(int epollSet) {
    isTransportThread = true;
    epoll_event events[kMaxEvents];
    for (;;) {
        const int count = epoll_wait(epollSet, events, kMaxEvents, -1);
        if (stopRequested) return;  // the wake event stays set, so every thread sees this
        for (int i = 0; i < count; ++i) {
            const int fd = events[i].data.fd;
            if (fd == wakeEvent.get()) {
                runPostedTasks();
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

void Transport::runPostedTasks() {
    std::uint64_t value;
    if (read(wakeEvent.get(), &value, sizeof(value)) != sizeof(value)) return;  // taken already
    if (stopRequested) {
        wakeThreads();  // this read may have taken the stop's wake-up: pass it on
        return;
    }
    for (;;) {
        std::function<void()> task;
        {
            std::lock_guard<std::mutex> hold(mutex);
            if (tasks.empty()) return;
            task = std::move(tasks.front());
            tasks.pop_front();
        }
        task();
    }
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
    epoll_ctl(listeningSet(), EPOLL_CTL_DEL, listenerFd, nullptr);
    std::lock_guard<std::mutex> hold(mutex);
    pausedListeners.push_back(listenerFd);
}

void Transport::resumeAccepting() {
    std::vector<int> paused;
    {
        std::lock_guard<std::mutex> hold(mutex);
        paused.swap(pausedListeners);
    }
    for (const int fd : paused) watch(listeningSet(), fd, EPOLLIN);
}

void Transport::serviceConnection(const std::shared_ptr<Connection>& connection, unsigned events) {
    if (!handleEvents(connection, events)) dropConnection(connection);
}

// False when the connection has ended or broken.
bool Transport::handleEvents(const std::shared_ptr<Connection>& connection, unsigned events) {
    if ((events & EPOLLOUT) != 0 && !connection->writeQueued()) return false;
    const bool hungUp = (events & (EPOLLHUP | EPOLLERR)) != 0;
    if ((events & EPOLLIN) == 0 && !hungUp) return true;
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
        connection->reader.append(chunk, static_cast<std::size_t>(received));
        if (!handleFrames(connection)) return false;
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
        switch (connection->reader.next(frame)) {
            case FrameReader::Status::Ready:
                if (frame.kind == Frame::Kind::Reply) {
                    handler.handleReply(*connection, frame);
                } else {
                    handler.handleFrame(connection, frame);
                }
                break;
            case FrameReader::Status::NeedMore:
                return true;
            case FrameReader::Status::Malformed:
                HOST_FAILURE("Malformed frame on connection %d: closing it", connection->fd());
                return false;
            case FrameReader::Status::TooLarge:
                HOST_FAILURE("Frame over %zu bytes on connection %d: closing it", kMaxFrameBodySize,
                             connection->fd());
                return false;
        }
    }
}

void Transport::dropConnection(const std::shared_ptr<Connection>& connection) {
    connection->close();
    {
        std::lock_guard<std::mutex> hold(mutex);
        if (connections.erase(connection->fd()) != 0) {
            if (connection->peerChannel().empty()) --acceptedCount;
            for (std::size_t i = 0; i < epollSets.size(); ++i) {
                if (epollSets[i].get() == connection->epollSet()) --setLoads[i];
            }
        }
    }
    forgetOutbound(connection);
    handler.connectionClosed(*connection);
    resumeAccepting();
}
