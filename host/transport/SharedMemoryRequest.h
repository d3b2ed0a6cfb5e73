#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "ServiceRegistry/PeerCredentials.h"
#include "UnixSocket.h"

namespace svcreg {

// The data of the answer to a Descriptors frame when the channel shares memory.
inline constexpr char kMemoryShared[] = "shared";

enum class ShareOutcome {
    Shared,         // the peer shares memory, brought up to date before it answered
    NothingShared,  // the peer answered that it shares none, or does not know the request
    Unreachable,    // nobody serves the socket, or it did not answer in time
    Untrusted,      // the process serving it is not one trusted takes
};

// A line of its own to the process serving a channel, for asking it for the memory it shares
// (a Descriptors frame). The first answer on a connection carries the descriptors; later ones
// say only that the memory is shared, and current. The line is kept between questions, and made
// again once when the peer has closed it meanwhile (it has stopped, or another serves now).
class SharedMemoryLine {
public:
    using Trust = std::function<bool(const PeerCredentials&)>;

    using Deadline = std::chrono::steady_clock::time_point;

    // path is the channel's socket; trusted judges the process serving it before anything is
    // sent; each question waits up to timeout for its answer.
    SharedMemoryLine(std::string path, std::string channel, Trust trusted,
                     std::chrono::milliseconds timeout);

    // descriptors gets what came with the answer: none unless the line was made for it. The
    // question ends by deadline, when that comes before its timeout, the line made again
    // included.
    ShareOutcome ask(std::vector<UniqueFd>& descriptors, Deadline deadline = Deadline::max());
    // The next question goes on a new connection, and its answer carries the descriptors.
    void hangUp() { socket = UniqueFd(); }
    // The line's socket, for a watch of its hang-up: the peer closes it when it ends. -1 when
    // there is none: none was made, or a question on it failed (and it was hung up).
    int descriptor() const { return socket.get(); }

private:
    ShareOutcome askOnce(std::vector<UniqueFd>& descriptors, Deadline deadline);

    const std::string path;
    const std::string channel;
    const Trust trusted;
    const std::chrono::milliseconds timeout;
    UniqueFd socket;
    std::int64_t lastRequestId = 0;
};

}  // namespace svcreg
