#include "EchoPeer.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "BenchSockets.h"

using namespace svcreg;

namespace {

[[noreturn]] void serveEchoes(int listener, std::size_t requestSize, std::size_t replySize) {
    for (;;) {
        const int fd = accept(listener, nullptr, nullptr);
        if (fd < 0) continue;
        std::thread([fd, requestSize, replySize] {
            std::string request;
            const std::string reply(replySize, 'r');
            while (readExactly(fd, request, requestSize) && sendAll(fd, reply)) {
            }
            close(fd);
        }).detach();
    }
}

}  // namespace

EchoServer::EchoServer(const std::string& path, std::size_t requestSize, std::size_t replySize)
    : path(path) {
    const int listener = listenBlocking(path);
    if (listener < 0) return;
    pid = fork();
    if (pid == 0) serveEchoes(listener, requestSize, replySize);
    close(listener);
}

EchoServer::~EchoServer() {
    if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    unlink(path.c_str());
}

EchoClient::EchoClient(const EchoServer& server, std::size_t requestSize, std::size_t replySize)
    : fd(connectRaw(server.socketPath())), request(requestSize, 'q'), replySize(replySize) {}

EchoClient::~EchoClient() {
    if (fd >= 0) close(fd);
}

bool EchoClient::roundTrip() {
    return sendAll(fd, request) && readExactly(fd, reply, replySize);
}
