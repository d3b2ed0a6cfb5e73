#pragma once

#include <string>

#include "UnixSocket.h"

namespace svcreg {

// The listening sockets a service manager such as systemd passed to this process: descriptors 3
// on, $LISTEN_FDS of them, when $LISTEN_PID is this process's, named by $LISTEN_FDNAMES (names
// separated by ':', a socket unit's FileDescriptorName=). Read at the first question a process
// asks; the variables are then cleared, so that no child (nor this program executed again)
// takes them for its own, and the descriptors are closed on exec. Each socket is taken once.
// The clearing races with other threads reading the environment: ask before starting any.
class PassedSockets {
public:
    // The socket passed for channel, whose socket is at socketPath: the one named channel; else,
    // when no names were given, the only one passed; else one bound at socketPath, whatever its
    // name (a socket unit's own name, say). Invalid when none was passed for it.
    static UniqueFd take(const std::string& channel, const std::string& socketPath);
};

// Why the socket fd may not serve as the listening socket at socketPath, or empty: it must be a
// listening Unix stream socket bound there (under this name, or another of the same file).
std::string listenerProblem(int fd, const std::string& socketPath);

}  // namespace svcreg
