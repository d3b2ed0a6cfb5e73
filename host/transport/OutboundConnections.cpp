#include "OutboundConnections.h"

#include "PeerAccount.h"
#include "RuntimeDirectory.h"

namespace svcreg {

std::shared_ptr<Connection> OutboundConnections::find(const std::string& channel) {
    MutexLock hold(mutex);
    auto found = byChannel.find(channel);
    if (found == byChannel.end() || found->second->isClosed()) return nullptr;
    return found->second;
}

std::shared_ptr<Connection> OutboundConnections::keep(
    const std::shared_ptr<Connection>& connection) {
    MutexLock hold(mutex);
    std::shared_ptr<Connection>& kept = byChannel[connection->peerChannel()];
    if (kept == nullptr || kept->isClosed()) kept = connection;
    return kept;
}

std::shared_ptr<Connection> OutboundConnections::findFor(const std::string& channel,
                                                         uid_t account) {
    if (RuntimeDirectory::isPrivateChannel(channel)) {
        MutexLock hold(mutex);
        auto found = claims.find(Claim(channel, account));
        if (found != claims.end() && !found->second->isClosed()) return found->second;
    }
    return find(channel);
}

bool OutboundConnections::claim(const std::string& channel,
                                const std::shared_ptr<Connection>& connection) {
    MutexLock hold(mutex);
    std::shared_ptr<Connection>& holder =
        claims[Claim(channel, accountOf(connection->credentials()))];
    if (holder != nullptr && holder != connection && !holder->isClosed()) return false;
    holder = connection;
    std::shared_ptr<Connection>& first = byChannel[channel];
    if (first == nullptr || first->isClosed()) first = connection;
    return true;
}

void OutboundConnections::forget(const std::shared_ptr<Connection>& connection) {
    forgetAs(connection->peerChannel(), connection);
}

void OutboundConnections::forgetAs(const std::string& channel,
                                   const std::shared_ptr<Connection>& connection) {
    MutexLock hold(mutex);
    auto claimed = claims.find(Claim(channel, accountOf(connection->credentials())));
    if (claimed != claims.end() && claimed->second == connection) claims.erase(claimed);
    auto found = byChannel.find(channel);
    if (found == byChannel.end() || found->second != connection) return;
    byChannel.erase(found);
    firstClaimGone(channel);
}

void OutboundConnections::firstClaimGone(const std::string& channel) {
    for (auto next = claims.lower_bound(Claim(channel, 0));
         next != claims.end() && next->first.first == channel; ++next) {
        if (next->second->isClosed()) continue;
        byChannel[channel] = next->second;
        return;
    }
}

void OutboundConnections::clear() {
    std::map<std::string, std::shared_ptr<Connection>> dropped;
    std::map<Claim, std::shared_ptr<Connection>> droppedClaims;
    MutexLock hold(mutex);
    dropped.swap(byChannel);
    droppedClaims.swap(claims);
}

}  // namespace svcreg
