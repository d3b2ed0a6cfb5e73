#include "UnixSocket.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "RuntimeDirectory.h"

namespace svcreg {

namespace {

constexpr int kListenBacklog = 128;

bool fillAddress(const std::string& path, sockaddr_un& address) {
    if (path.size() >= sizeof(address.sun_path)) return false;
    address = {};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

// A socket file left by a process of this user that served the channel before may be replaced;
// any other file there is not this process's to remove.
bool isFreeOrStale(const std::string& path, std::string& error) {
    struct stat status {};
    if (lstat(path.c_str(), &status) != 0) return errno == ENOENT;
    if (!S_ISSOCK(status.st_mode) || status.st_uid != geteuid()) {
        error = "'" + path + "' of uid " + std::to_string(status.st_uid) +
                " is in the way: it is not a socket of this user";
        return false;
    }
    // The channel's claim says no process serves it with this one's state; one that keeps its
    // claim elsewhere may, and a socket that answers is not stale.
    UniqueFd probe;
    const ConnectResult answered = connectTo(path, probe);
    if (answered == ConnectResult::Connected || answered == ConnectResult::Busy) {
        error = "another process already serves this channel";
        return false;
    }
    return true;
}

bool bindTo(int listener, const std::string& path) {
    sockaddr_un address;
    return fillAddress(path, address) &&
           bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
}

// Binds listener at path; over a stale socket of this user's there in one step, bound at a name
// beside it that nobody can guess, then renamed over it (the listener's own address is then that
// name). Removing the stale socket first would leave the path free for a moment, in a folder
// others may write, for another user's file, which this user could not remove, to take it for
// good: a declared service's launcher leaves such a socket at its channel to keep its place. A
// folder whose path leaves no room in a socket's address for that name has it removed first.
bool bindInPlace(int listener, const std::string& path) {
    if (bindTo(listener, path)) return true;
    if (errno != EADDRINUSE) return false;
    const std::string beside =
        path.substr(0, path.rfind('/') + 1) + "." + RuntimeDirectory::randomDigits();
    sockaddr_un address;
    if (!fillAddress(beside, address)) {
        return (unlink(path.c_str()) == 0 || errno == ENOENT) && bindTo(listener, path);
    }
    if (!bindTo(listener, beside)) return false;
    if (rename(beside.c_str(), path.c_str()) == 0) return true;
    const int failure = errno;
    unlink(beside.c_str());
    errno = failure;
    return false;
}

UniqueFd streamSocket() {
    return UniqueFd(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
}

}  // namespace

UniqueFd::~UniqueFd() {
    if (descriptor >= 0) close(descriptor);
}

UniqueFd::UniqueFd(UniqueFd&& other) noexcept : descriptor(std::exchange(other.descriptor, -1)) {}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
        if (descriptor >= 0) close(descriptor);
        descriptor = std::exchange(other.descriptor, -1);
    }
    return *this;
}

std::size_t descriptorsForConnections() {
    // Kept for everything but connections: listeners, epoll sets, files, probes.
    constexpr std::size_t kReservedDescriptors = 32;
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
        return static_cast<std::size_t>(-1);
    }
    const auto allowed = static_cast<std::size_t>(limit.rlim_cur);
    return allowed > 2 * kReservedDescriptors ? allowed - kReservedDescriptors
                                              : kReservedDescriptors;
}

UniqueFd listenAt(const std::string& path, std::string& error) {
    sockaddr_un address;
    if (!fillAddress(path, address)) {
        error = "socket path '" + path + "' is too long";
        return UniqueFd();
    }
    UniqueFd listener = streamSocket();
    if (!listener.valid()) {
        error = std::string("cannot create a socket: ") + std::strerror(errno);
        return UniqueFd();
    }
    if (!isFreeOrStale(path, error)) return UniqueFd();
    if (!bindInPlace(listener.get(), path) || listen(listener.get(), kListenBacklog) != 0) {
        error = "cannot listen at '" + path + "': " + std::strerror(errno);
        return UniqueFd();
    }
    return listener;
}

std::string whyNotConnected(const std::string& path) {
    sockaddr_un address;
    if (!fillAddress(path, address)) return "'" + path + "' is too long for a socket address";
    UniqueFd connection = streamSocket();
    if (!connection.valid()) return std::string("no socket: ") + std::strerror(errno);
    if (connect(connection.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) {
        return "";
    }
    const int failure = errno;
    const std::string folder = path.substr(0, path.rfind('/'));
    struct stat status;
    switch (failure) {
        case ENOENT:
            if (stat(folder.c_str(), &status) != 0) return "there is no folder '" + folder + "'";
            return "there is no socket '" + path + "'";
        case ECONNREFUSED:
            return "nobody listens at '" + path + "': the process that served it has ended";
        case EACCES:
        case EPERM:
            return "permission denied at '" + path + "'";
        case EAGAIN:
            return "'" + path + "' does not keep up: its backlog of connections is full";
        default:
            return "cannot connect to '" + path + "': " + std::strerror(failure);
    }
}

bool blockReceivesUpTo(int socket, std::chrono::milliseconds slice) {
    const timeval timeout{static_cast<time_t>(slice.count() / 1000),
                          static_cast<suseconds_t>(slice.count() % 1000 * 1000)};
    const int flags = fcntl(socket, F_GETFL);
    return flags >= 0 &&
           setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout)) == 0 &&
           fcntl(socket, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

ssize_t sendWithDescriptors(int socket, std::string_view bytes,
                            const std::vector<UniqueFd>& descriptors) {
    iovec data{const_cast<char*>(bytes.data()), bytes.size()};
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxPassedDescriptors)] = {};
    if (!descriptors.empty() && descriptors.size() <= kMaxPassedDescriptors) {
        message.msg_control = control;
        message.msg_controllen = CMSG_SPACE(sizeof(int) * descriptors.size());
        cmsghdr* header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SCM_RIGHTS;
        header->cmsg_len = CMSG_LEN(sizeof(int) * descriptors.size());
        int* passed = reinterpret_cast<int*>(CMSG_DATA(header));
        for (const UniqueFd& descriptor : descriptors) *passed++ = descriptor.get();
    }
    return sendmsg(socket, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
}

ssize_t receiveWithDescriptors(int socket, char* buffer, std::size_t size,
                               std::vector<UniqueFd>& descriptors) {
    iovec data{buffer, size};
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxPassedDescriptors)];
    message.msg_control = control;
    message.msg_controllen = sizeof(control);
    const ssize_t received = recvmsg(socket, &message, MSG_CMSG_CLOEXEC);
    if (received < 0) return received;
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
         header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS) continue;
        const std::size_t count = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        const int* passed = reinterpret_cast<const int*>(CMSG_DATA(header));
        for (std::size_t i = 0; i < count; ++i) descriptors.emplace_back(passed[i]);
    }
    if ((message.msg_flags & MSG_CTRUNC) != 0) {
        errno = EMSGSIZE;
        return -1;
    }
    return received;
}

// The socket file at path is opened where it is, never through a link, and connected to through
// that very file: what was checked of it is what is connected to, whatever is put at its name
// meanwhile. Without /proc, through its name, once it was found not to be a link.
ConnectResult connectTo(const std::string& path, UniqueFd& socket, const uid_t* owner) {
    const UniqueFd place(open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat status {};
    if (!place.valid() || fstat(place.get(), &status) != 0) {
        if (errno == ENOENT) return ConnectResult::Gone;
        return errno == EACCES ? ConnectResult::Forbidden : ConnectResult::Failed;
    }
    if (!S_ISSOCK(status.st_mode)) return ConnectResult::Gone;  // a link or a file: no socket
    if (owner != nullptr && status.st_uid != *owner) return ConnectResult::OtherOwner;
    sockaddr_un address;
    const std::string throughFile = "/proc/self/fd/" + std::to_string(place.get());
    const bool procMounted = access(throughFile.c_str(), F_OK) == 0;
    if (!fillAddress(procMounted ? throughFile : path, address)) return ConnectResult::Failed;
    UniqueFd connection = streamSocket();
    if (!connection.valid()) return ConnectResult::Failed;
    if (connect(connection.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        if (errno == ENOENT || errno == ECONNREFUSED) return ConnectResult::Gone;
        if (errno == EAGAIN) return ConnectResult::Busy;
        if (errno == EACCES || errno == EPERM) return ConnectResult::Forbidden;
        return ConnectResult::Failed;
    }
    socket = std::move(connection);
    return ConnectResult::Connected;
}

}  // namespace svcreg
