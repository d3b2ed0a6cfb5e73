#include "OutboundConnections.h"

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

bool OutboundConnections::claim(const std::string& channel,
                                const std::shared_ptr<Connection>& connection) {
    MutexLock hold(mutex);
    std::shared_ptr<Connection>& holder = byChannel[channel];
    if (holder != nullptr && holder != connection && !holder->isClosed()) return false;
    holder = connection;
    return true;
}

void OutboundConnections::forget(const std::shared_ptr<Connection>& connection) {
    forgetAs(connection->peerChannel(), connection);
}

void OutboundConnections::forgetAs(const std::string& channel,
                                   const std::shared_ptr<Connection>& connection) {
    MutexLock hold(mutex);
    auto found = byChannel.find(channel);
    if (found != byChannel.end() && found->second == connection) byChannel.erase(found);
}

void OutboundConnections::clear() {
    std::map<std::string, std::shared_ptr<Connection>> dropped;
    MutexLock hold(mutex);
    dropped.swap(byChannel);
}

}  // namespace svcreg
