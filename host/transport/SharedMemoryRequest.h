#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "ServiceRegistry/PeerCredentials.h"
#include "UnixSocket.h"

namespace svcreg {

enum class ShareOutcome {
    Shared,         // descriptors hold what the peer shares
    NothingShared,  // the peer answered with none, or does not know the request
    Unreachable,    // nobody serves the socket, or it did not answer in time
    Untrusted,      // the process serving it is not one trusted takes
};

// Asks the process serving channel's socket at path, over a connection of its own, for the
// memory it shares with its peers (a Descriptors frame), and waits up to timeout for the answer.
// trusted judges that process by its credentials before anything is sent.
ShareOutcome requestSharedMemory(const std::string& path, const std::string& channel,
                                 const std::function<bool(const PeerCredentials&)>& trusted,
                                 std::chrono::milliseconds timeout,
                                 std::vector<UniqueFd>& descriptors);

}  // namespace svcreg
