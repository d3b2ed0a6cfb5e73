#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

// The bare baseline of a round trip: a process of its own that answers every request of
// requestSize bytes with replySize bytes on the same Unix-domain socket, one thread per
// connection, doing nothing else.
class EchoServer {
public:
    EchoServer(const std::string& path, std::size_t requestSize, std::size_t replySize);
    ~EchoServer();
    EchoServer(const EchoServer&) = delete;
    EchoServer& operator=(const EchoServer&) = delete;

    const std::string& socketPath() const { return path; }

private:
    std::string path;
    pid_t pid = -1;
};

// One connection to an EchoServer.
class EchoClient {
public:
    EchoClient(const EchoServer& server, std::size_t requestSize, std::size_t replySize);
    ~EchoClient();
    EchoClient(const EchoClient&) = delete;
    EchoClient& operator=(const EchoClient&) = delete;

    bool connected() const { return fd >= 0; }
    bool roundTrip();

private:
    int fd = -1;
    std::string request;
    std::string reply;
    std::size_t replySize;
};
