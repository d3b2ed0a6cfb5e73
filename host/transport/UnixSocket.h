#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

namespace svcreg {

// Owns one file descriptor and closes it.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : descriptor(fd) {}
    ~UniqueFd();
    UniqueFd(UniqueFd&& other) noexcept;
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return descriptor; }
    bool valid() const { return descriptor >= 0; }

private:
    int descriptor = -1;
};

// The descriptors this process may spend on connections: its limit (ulimit -n) less a few
// kept for its files, logs and the like.
std::size_t descriptorsForConnections();

// Creates a non-blocking stream socket listening at path, replacing a stale socket file of this
// user there; any other file in the way is an error. The caller must hold the channel's lock,
// so that the socket file can only be a dead process's.
UniqueFd listenAt(const std::string& path, std::string& error);

enum class ConnectResult {
    Connected,
    Gone,        // no socket there, or nobody listening: the peer has exited
    Busy,        // the listener's backlog is full
    Forbidden,   // the system denies this process access to the socket
    OtherOwner,  // the socket file is not the user's it had to be
    Failed,
};

// Connects a non-blocking stream socket to the socket file at path without waiting, never
// through a symbolic link; when owner is given, only to a socket file of that user's.
ConnectResult connectTo(const std::string& path, UniqueFd& socket, const uid_t* owner = nullptr);
// Makes socket's receives block, each for slice at most, for a thread that waits for what comes
// on it: it wakes as soon as bytes come, straight out of its receive. Sends, and receives with
// MSG_DONTWAIT, still never wait. False when the system refuses.
bool blockReceivesUpTo(int socket, std::chrono::milliseconds slice);

// At most this many descriptors go with one message.
constexpr std::size_t kMaxPassedDescriptors = 4;

// Sends what the socket takes of bytes without waiting, and descriptors (at most
// kMaxPassedDescriptors) with them; as send(2).
ssize_t sendWithDescriptors(int socket, std::string_view bytes,
                            const std::vector<UniqueFd>& descriptors);
// Receives into buffer what has arrived, up to its size, and the descriptors that came with it;
// as recv(2). Descriptors cut short by the kernel make it fail with EMSGSIZE.
ssize_t receiveWithDescriptors(int socket, char* buffer, std::size_t size,
                               std::vector<UniqueFd>& descriptors);

// Connects to path once more, for a person: empty when that works, else why not (no folder, no
// socket, nobody listening, no permission, ...).
std::string whyNotConnected(const std::string& path);

}  // namespace svcreg
