#include "ServiceManager.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace {

// The first descriptor a service manager passes.
constexpr int kFirstPassedFd = 3;

bool isListeningStreamSocket(int fd) {
    int type = 0;
    int listening = 0;
    socklen_t length = sizeof(type);
    if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0 || type != SOCK_STREAM) {
        return false;
    }
    length = sizeof(listening);
    return getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &length) == 0 && listening;
}

}  // namespace

bool takePassedListener(int& listener, std::string& error) {
    listener = -1;
    const char* pid = std::getenv("LISTEN_PID");
    const char* fds = std::getenv("LISTEN_FDS");
    const bool passedHere = pid != nullptr && fds != nullptr && std::atol(pid) == getpid();
    const long count = passedHere ? std::atol(fds) : 0;
    unsetenv("LISTEN_PID");
    unsetenv("LISTEN_FDS");
    unsetenv("LISTEN_FDNAMES");
    if (count <= 0) return true;
    if (count > 1) {
        error = "given " + std::to_string(count) + " sockets; one is served, for the channel";
        return false;
    }
    if (!isListeningStreamSocket(kFirstPassedFd)) {
        error = "the socket passed in is not a listening stream socket";
        return false;
    }
    const int flags = fcntl(kFirstPassedFd, F_GETFL);
    fcntl(kFirstPassedFd, F_SETFL, flags | O_NONBLOCK);
    fcntl(kFirstPassedFd, F_SETFD, FD_CLOEXEC);
    listener = kFirstPassedFd;
    return true;
}

bool notifyServiceManager(const std::string& state) {
    const char* path = std::getenv("NOTIFY_SOCKET");
    if (path == nullptr || path[0] == '\0') return true;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t length = std::strlen(path);
    if (length >= sizeof(address.sun_path)) return false;
    std::memcpy(address.sun_path, path, length);
    if (address.sun_path[0] == '@') address.sun_path[0] = '\0';  // an abstract address
    const int socket = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (socket < 0) return false;
    const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
    const bool sent = sendto(socket, state.data(), state.size(), MSG_NOSIGNAL,
                             reinterpret_cast<const sockaddr*>(&address),
                             size) == static_cast<ssize_t>(state.size());
    close(socket);
    return sent;
}
