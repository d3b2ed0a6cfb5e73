#include "OutboundConnections.h"

namespace svcreg {

std::shared_ptr<Connection> OutboundConnections::find(const std::string& channel) {
    MutexLock hold(mutex);
    auto found = byChannel.find(channel);
    if (found == byChannel.end() || found->second->isClosed()) return nullptr;
    return found->second;
}

void OutboundConnections::keep(const std::shared_ptr<Connection>& connection) {
    MutexLock hold(mutex);
    byChannel[connection->peerChannel()] = connection;
}

void OutboundConnections::forget(const std::shared_ptr<Connection>& connection) {
    MutexLock hold(mutex);
    auto found = byChannel.find(connection->peerChannel());
    if (found != byChannel.end() && found->second == connection) byChannel.erase(found);
}

void OutboundConnections::clear() {
    std::map<std::string, std::shared_ptr<Connection>> dropped;
    MutexLock hold(mutex);
    dropped.swap(byChannel);
}

}  // namespace svcreg
