#include "Transport.h"

#include "HostLog.h"

namespace svcreg {

// A relay is closed at once when its vouch cannot go: its peer would take the caller's frames
// for the gateway's own.
std::shared_ptr<Connection> Transport::openRelay(const std::string& channel, const Frame& vouch,
                                                 RelayHandler& relay, uid_t share,
                                                 SendResult& failure) {
    failure = SendResult::Refused;
    // Acquire pairs with the release store in stop.
    if (stopping.load(std::memory_order_acquire) || !directory.isValidChannel(channel) ||
        RuntimeDirectory::isPrivateChannel(channel) || directory.isRemoteChannel(channel)) {
        return nullptr;
    }
    // Kept about as closely as the cap of outbound connections (see roomForOutbound).
    if (relayCount.load(std::memory_order_relaxed) >= maxRelays) {
        HOST_FAILURE("%zu relay connections: no room for another to channel '%s'", maxRelays,
                     channel.c_str());
        failure = SendResult::Busy;
        return nullptr;
    }
    UniqueFd socket = dial(directory.socketPath(channel), failure, nullptr);
    if (!socket.valid()) return nullptr;
    PeerCredentials server = peerCredentialsOf(socket.get());
    if (!handler.admitsPeer(server, channel)) {
        failure = SendResult::Untrusted;
        return nullptr;
    }
    std::shared_ptr<Connection> connection = adopt(std::move(socket), channel, std::move(server),
                                                   &relay, QueuedShare{relayQueued, share});
    if (connection == nullptr) return nullptr;
    failure = reply(*connection, vouch);
    if (failure == SendResult::Queued) return connection;
    dropConnection(connection, false);
    return nullptr;
}

}  // namespace svcreg
