#pragma once

#include <map>
#include <memory>
#include <string>

#include "Connection.h"
#include "Mutex.h"

namespace svcreg {

// The connections this process opened to other channels, one kept per channel for the sends
// that follow; and the accepted connections that are the way to their peers' private channels.
class OutboundConnections {
public:
    // The kept connection to channel while it is open; null otherwise.
    std::shared_ptr<Connection> find(const std::string& channel);
    // Keeps connection as the way to its channel, unless an open one is kept already: returns
    // the one kept, which a thread that connected too late uses in place of its own. One
    // connection carries all of this process's frames to a channel, so that a private channel
    // this process names is its one connection's, however many threads send at once.
    std::shared_ptr<Connection> keep(const std::shared_ptr<Connection>& connection);
    // Makes connection the way to channel unless another open connection is: false then.
    bool claim(const std::string& channel, const std::shared_ptr<Connection>& connection);
    // Unless another connection to its channel has been kept since.
    void forget(const std::shared_ptr<Connection>& connection);
    void forgetAs(const std::string& channel, const std::shared_ptr<Connection>& connection);
    void clear();

private:
    Mutex mutex;  // guards byChannel
    std::map<std::string, std::shared_ptr<Connection>> byChannel TS_GUARDED_BY(mutex);
};

}  // namespace svcreg
