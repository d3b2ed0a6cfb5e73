#pragma once

#include <sys/types.h>

#include <map>
#include <memory>
#include <string>
#include <utility>

#include "Connection.h"
#include "Mutex.h"

namespace svcreg {

// The connections this process opened to other channels, one kept per channel for the sends
// that follow; and the accepted connections that are the way to their peers' private channels.
// A private channel's name is no secret (every peer its process calls reads it), so each
// account (see accountOf) holds a name for itself: a peer that names another's channel first
// keeps nobody from their own. Sends that answer a peer take its account's claim; the others,
// and the watches of a channel's end, take the first claim of the name still open.
class OutboundConnections {
public:
    // The kept connection to channel while it is open, or the first claim of it; null otherwise.
    std::shared_ptr<Connection> find(const std::string& channel);
    // The way to channel for a send that answers a peer of account: its account's own claim,
    // where channel is private and the account holds it; else as find.
    std::shared_ptr<Connection> findFor(const std::string& channel, uid_t account);
    // Keeps connection as the way to its channel, unless an open one is kept already: returns
    // the one kept, which a thread that connected too late uses in place of its own. One
    // connection carries all of this process's frames to a channel, so that a private channel
    // this process names is its one connection's, however many threads send at once.
    std::shared_ptr<Connection> keep(const std::shared_ptr<Connection>& connection);
    // Makes connection the way to the private channel channel for its account, unless another
    // open connection of that account is: false then.
    bool claim(const std::string& channel, const std::shared_ptr<Connection>& connection);
    // Unless another connection to its channel has been kept since.
    void forget(const std::shared_ptr<Connection>& connection);
    void forgetAs(const std::string& channel, const std::shared_ptr<Connection>& connection);
    void clear();

private:
    using Claim = std::pair<std::string, uid_t>;  // a private channel, and the account holding it

    // Once the first claim of channel goes, the next open one of another account takes its place.
    void firstClaimGone(const std::string& channel) TS_REQUIRES(mutex);

    Mutex mutex;  // guards byChannel and claims
    std::map<std::string, std::shared_ptr<Connection>> byChannel TS_GUARDED_BY(mutex);
    std::map<Claim, std::shared_ptr<Connection>> claims TS_GUARDED_BY(mutex);
};

}  // namespace svcreg
