#include "BenchSockets.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

using namespace svcreg;

namespace {

sockaddr_un addressOf(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    return address;
}

}  // namespace

int listenBlocking(const std::string& path) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_un address = addressOf(path);
    unlink(path.c_str());
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(fd, 64) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool readExactly(int fd, std::string& buffer, std::size_t length) {
    buffer.resize(length);
    std::size_t got = 0;
    while (got < length) {
        const ssize_t received = recv(fd, &buffer[got], length - got, 0);
        if (received <= 0) return false;
        got += static_cast<std::size_t>(received);
    }
    return true;
}

bool readFrame(int fd, FrameReader& reader, Frame& frame) {
    char chunk[4096];
    for (;;) {
        const FrameReader::Status status = reader.next(frame);
        if (status == FrameReader::Status::Ready) return true;
        if (status != FrameReader::Status::NeedMore) return false;
        const ssize_t received = recv(fd, chunk, sizeof(chunk), 0);
        if (received <= 0) return false;
        reader.append(chunk, static_cast<std::size_t>(received));
    }
}
