#include "ServiceRegistry/PeerCredentials.h"

#include <sys/socket.h>

#include <algorithm>

namespace svcreg {

namespace {

constexpr std::size_t kMaxGroupsRead = 256;

std::vector<gid_t> peerGroupsOf(int socket) {
    std::vector<gid_t> groups(kMaxGroupsRead);
    socklen_t length = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
    if (getsockopt(socket, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &length) != 0) return {};
    groups.resize(length / sizeof(gid_t));
    return groups;
}

}  // namespace

bool PeerCredentials::inGroup(gid_t group) const {
    return gid == group || std::find(groups.begin(), groups.end(), group) != groups.end();
}

std::string PeerCredentials::describe() const {
    if (isRemote()) return (user.empty() ? "" : "user " + user + " of ") + "device " + device;
    return "pid " + std::to_string(pid) + " uid " + std::to_string(static_cast<long>(uid)) +
           " gid " + std::to_string(static_cast<long>(gid));
}

PeerCredentials peerCredentialsOf(int socket) {
    PeerCredentials peer;
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) return peer;
    peer.pid = credentials.pid;
    peer.uid = credentials.uid;
    peer.gid = credentials.gid;
    peer.groups = peerGroupsOf(socket);
    return peer;
}

}  // namespace svcreg
