#pragma once

/// \file
/// Who is at the other end of a Unix-domain socket.

#include <sys/types.h>

#include <string>
#include <vector>

#include "HostExport.h"

namespace svcreg {

/// Who is at the other end of a connection, as the kernel saw it when the connection was made.
/// A plain value type.
struct PeerCredentials {
    pid_t pid = 0;                       ///< The peer's process; 0 when unknown.
    uid_t uid = static_cast<uid_t>(-1);  ///< Its effective user; -1 when unknown.
    gid_t gid = static_cast<gid_t>(-1);  ///< Its effective group; -1 when unknown.
    std::vector<gid_t> groups;           ///< Its supplementary groups.
    /// For a caller on another device, the device's name, as the link from it is authenticated;
    /// empty for a local peer. A remote peer's pid, uid and gid are unknown.
    std::string device;
    /// For a caller on another device, the user name its device vouches for; empty for one
    /// that calls back over a tunnel this process opened (its device vouches for no user).
    std::string user;

    /// True for a caller on another device.
    bool isRemote() const { return !device.empty(); }

    /// True when the peer runs as root.
    bool isRoot() const { return uid == 0; }
    /// True when group is the peer's group or one of its supplementary groups.
    bool inGroup(gid_t group) const;
    /// "pid 42 uid 1000 gid 1000", "user alice of device B" or "device B", for log lines about
    /// the peer.
    std::string describe() const;
};

/// The credentials of the process at the other end of a connected Unix-domain socket; uid -1
/// when the kernel gives none (not a socket, not connected). Safe from any thread.
HOST_API PeerCredentials peerCredentialsOf(int socket);

}  // namespace svcreg
