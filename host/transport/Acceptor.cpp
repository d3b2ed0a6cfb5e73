#include "Acceptor.h"

#include <sys/epoll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "HostLog.h"

namespace svcreg {

Acceptor::Acceptor(EventLoops& loops, Adopt adopt) : loops(loops), adopt(std::move(adopt)) {}

bool Acceptor::listen(std::unique_ptr<ChannelClaim> claim, std::string& error) {
    const int fd = claim->socket();
    {
        MutexLock hold(mutex);
        claims[fd] = std::move(claim);
    }
    if (loops.addToFirstSet(fd, EPOLLIN)) return true;
    error = std::string("cannot watch the listening socket: ") + std::strerror(errno);
    MutexLock hold(mutex);
    claims.erase(fd);
    return false;
}

bool Acceptor::isListener(int fd) {
    MutexLock hold(mutex);
    return claims.count(fd) != 0;
}

void Acceptor::acceptFrom(int listenerFd) {
    for (;;) {
        UniqueFd socket(accept4(listenerFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!socket.valid()) {
            if (errno == EMFILE || errno == ENFILE) pause(listenerFd);
            return;
        }
        adopt(std::move(socket));
    }
}

void Acceptor::pause(int listenerFd) {
    HOST_FAILURE(
        "Out of file descriptors: accepting no connection for a second, or until one closes");
    loops.removeFromFirstSet(listenerFd);
    MutexLock hold(mutex);
    paused.push_back(listenerFd);
}

void Acceptor::resume() {
    std::vector<int> resuming;
    {
        MutexLock hold(mutex);
        if (paused.empty()) return;
        resuming.swap(paused);
    }
    for (const int fd : resuming) {
        if (!loops.addToFirstSet(fd, EPOLLIN)) {
            HOST_FAILURE("Cannot listen again on socket %d: %s", fd, std::strerror(errno));
        }
    }
}

bool Acceptor::claimsInPlace(std::string& error) {
    std::vector<std::shared_ptr<ChannelClaim>> checked;
    {
        MutexLock hold(mutex);
        for (const auto& entry : claims) checked.push_back(entry.second);
    }
    for (const auto& claim : checked) {
        if (!claim->inPlace(error)) return false;
    }
    return true;
}

void Acceptor::stop() {
    std::map<int, std::shared_ptr<ChannelClaim>> ending;
    {
        MutexLock hold(mutex);
        ending.swap(claims);
        paused.clear();
    }
    for (const auto& entry : ending) loops.removeFromFirstSet(entry.first);
}

}  // namespace svcreg
