#include "OwnerWatch.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "HostLog.h"
#include "ServiceRegistry/PeerCredentials.h"

namespace svcreg {

namespace {

// A channel looked into on a registration is looked into again on another after this long, and
// no more than this many such times are kept.
constexpr std::chrono::seconds kLookInterval{1};
constexpr std::size_t kMostLooksKept = 4096;

// A channel whose process keeps closing the watching connection (it does not admit this
// process, say) is given up after this many hang-ups in a row with its socket still answering.
constexpr int kMostHangUpsWhileServed = 3;

// An eighth of the descriptors left for connections, so that watching never starves the
// connections of the registry's clients.
std::size_t fittedCapacity(std::size_t capacity) {
    return std::min(capacity, descriptorsForConnections() / 8);
}

}  // namespace

OwnerWatch::OwnerWatch(RuntimeDirectory directory, std::size_t capacity, Events events)
    : directory(std::move(directory)),
      capacity(fittedCapacity(capacity)),
      events(std::move(events)) {}

OwnerWatch::~OwnerWatch() {
    stop();
}

bool OwnerWatch::start(std::string& error) {
    epoll = UniqueFd(epoll_create1(EPOLL_CLOEXEC));
    wakeup = UniqueFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = wakeup.get();
    if (!epoll.valid() || !wakeup.valid() ||
        epoll_ctl(epoll.get(), EPOLL_CTL_ADD, wakeup.get(), &event) != 0) {
        error =
            std::string("cannot set up the watch of channels' processes: ") + std::strerror(errno);
        return false;
    }
    thread = std::thread([this] { loop(); });
    return true;
}

void OwnerWatch::stop() {
    {
        MutexLock hold(mutex);
        stopping = true;
    }
    const std::uint64_t one = 1;
    if (wakeup.valid() && write(wakeup.get(), &one, sizeof(one)) < 0) {
        HOST_FAILURE("Cannot wake the watch of channels' processes: %s", std::strerror(errno));
    }
    if (thread.joinable()) thread.join();
}

void OwnerWatch::look(const std::string& channel, bool knownServed) {
    {
        MutexLock hold(mutex);
        requests.push_back({channel, knownServed});
    }
    const std::uint64_t one = 1;
    if (write(wakeup.get(), &one, sizeof(one)) < 0) {
        HOST_FAILURE("Cannot wake the watch of channels' processes: %s", std::strerror(errno));
    }
}

// One registration has one channel.
void OwnerWatch::registered(const std::vector<ServiceRecord>& entries) {
    if (entries.empty()) return;
    const std::string& channel = entries.front().channel;
    const auto now = std::chrono::steady_clock::now();
    {
        MutexLock hold(mutex);
        auto last = lookedAt.find(channel);
        if (last != lookedAt.end() && now - last->second < kLookInterval) return;
        if (lookedAt.size() >= kMostLooksKept) lookedAt.clear();
        lookedAt[channel] = now;
    }
    look(channel);
}

void OwnerWatch::loop() {
    epoll_event ready[64];
    while (true) {
        const int count = epoll_wait(epoll.get(), ready, 64, -1);
        for (int i = 0; i < count; ++i) {
            if (ready[i].data.fd == wakeup.get()) {
                std::uint64_t ignored;
                while (read(wakeup.get(), &ignored, sizeof(ignored)) > 0) {
                }
            } else {
                hungUp(ready[i].data.fd);
            }
        }
        std::deque<Request> taken;
        {
            MutexLock hold(mutex);
            if (stopping) return;
            taken.swap(requests);
        }
        for (const Request& request : taken) lookNow(request);
    }
}

void OwnerWatch::lookNow(const Request& request) {
    if (watchedByName.count(request.channel) != 0 || !events.wanted(request.channel) ||
        !directory.isValidChannel(request.channel) ||
        RuntimeDirectory::isPrivateChannel(request.channel)) {
        return;
    }
    UniqueFd connection;
    switch (connectTo(directory.socketPath(request.channel), connection)) {
        case ConnectResult::Connected:
            if (!watchOver(request.channel, std::move(connection))) return;
            events.served(request.channel);
            HOST_TRACE(4, "Watching the process of channel '%s'", request.channel.c_str());
            return;
        case ConnectResult::Gone:
            if (request.knownServed) reportGone(request.channel);
            return;
        default:
            // Busy, or not ours to reach: its entries stay as they are.
            HOST_TRACE(4, "Channel '%s' cannot be watched now", request.channel.c_str());
            return;
    }
}

bool OwnerWatch::watchOver(const std::string& channel, UniqueFd connection, int hangUps) {
    if (watched.size() >= capacity && !forgetUnwanted()) {
        if (!warnedFull) {
            HOST_FAILURE(
                "Watching %zu channels already: entries at channel '%s' and others "
                "will stay when their process ends",
                watched.size(), channel.c_str());
        }
        warnedFull = true;
        return false;
    }
    epoll_event event{};
    event.events = EPOLLRDHUP;
    event.data.fd = connection.get();
    if (epoll_ctl(epoll.get(), EPOLL_CTL_ADD, connection.get(), &event) != 0) {
        HOST_FAILURE("Cannot watch channel '%s': %s", channel.c_str(), std::strerror(errno));
        return false;
    }
    const int fd = connection.get();
    const pid_t server = peerCredentialsOf(fd).pid;
    watchedByName[channel] = fd;
    watched[fd] = Watched{channel, std::move(connection), server, hangUps};
    MutexLock hold(mutex);
    servers[channel] = server;
    return true;
}

// The connection closed: the process is gone when nobody listens at the channel any more, or
// another process does; else it closed this connection itself, and the watch goes on.
void OwnerWatch::hungUp(int fd) {
    auto found = watched.find(fd);
    if (found == watched.end()) return;
    const std::string channel = found->second.channel;
    const pid_t server = found->second.server;
    const int hangUps = found->second.hangUpsWhileServed + 1;
    forget(fd);
    UniqueFd connection;
    const ConnectResult again = connectTo(directory.socketPath(channel), connection);
    if (again == ConnectResult::Gone ||
        (again == ConnectResult::Connected && peerCredentialsOf(connection.get()).pid != server)) {
        reportGone(channel);
        return;
    }
    if (again != ConnectResult::Connected) {
        HOST_TRACE(4, "Channel '%s' cannot be watched now", channel.c_str());
        return;
    }
    if (hangUps >= kMostHangUpsWhileServed) {
        HOST_FAILURE(
            "Channel '%s' keeps closing this process's connection: its process is "
            "watched no more",
            channel.c_str());
        return;
    }
    watchOver(channel, std::move(connection), hangUps);
}

// A process that comes to serve the channel next is looked into at its first registration.
void OwnerWatch::reportGone(const std::string& channel) {
    {
        MutexLock hold(mutex);
        lookedAt.erase(channel);
    }
    events.gone(channel);
}

bool OwnerWatch::forgetUnwanted() {
    std::vector<int> unwanted;
    for (const auto& [fd, channel] : watched) {
        if (!events.wanted(channel.channel)) unwanted.push_back(fd);
    }
    for (const int fd : unwanted) forget(fd);
    return !unwanted.empty();
}

void OwnerWatch::forget(int fd) {
    auto found = watched.find(fd);
    if (found == watched.end()) return;
    epoll_ctl(epoll.get(), EPOLL_CTL_DEL, fd, nullptr);
    {
        MutexLock hold(mutex);
        servers.erase(found->second.channel);
    }
    watchedByName.erase(found->second.channel);
    watched.erase(found);
    if (watched.size() < capacity) warnedFull = false;
}

pid_t OwnerWatch::serverOf(const std::string& channel) {
    MutexLock hold(mutex);
    const auto found = servers.find(channel);
    return found != servers.end() ? found->second : 0;
}

}  // namespace svcreg
