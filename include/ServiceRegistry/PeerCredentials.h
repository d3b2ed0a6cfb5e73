#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "HostExport.h"

namespace svcreg {

// Who is at the other end of a connection, as the kernel saw it when the connection was made.
struct PeerCredentials {
    pid_t pid = 0;
    uid_t uid = static_cast<uid_t>(-1);
    gid_t gid = static_cast<gid_t>(-1);
    std::vector<gid_t> groups;  // supplementary groups

    bool isRoot() const { return uid == 0; }
    bool inGroup(gid_t group) const;
    // "pid 42 uid 1000 gid 1000", for log lines about the peer.
    std::string describe() const;
};

// The credentials of the process at the other end of a Unix-domain socket; uid -1 when the
// kernel gives none.
HOST_API PeerCredentials peerCredentialsOf(int socket);

}  // namespace svcreg
