#pragma once

#include <chrono>
#include <condition_variable>

#include <cstdint>
#include <map>
#include <string>
#include "Mutex.h"

namespace svcreg {

class Connection;

// Matches replies to the requests waiting for them, by request id.
class PendingReplies {
public:
    // Refused: an error came in place of the reply; its reason is the reply.
    enum class WaitEnd { Answered, TimedOut, ConnectionLost, Refused };

    // Before the request is sent, so that no reply can come too early.
    void expect(std::int64_t requestId);
    // Before the request is written to connection: its reply comes there only. One attached to
    // none takes replies that came by no connection (see fulfil).
    void attach(std::int64_t requestId, const Connection& connection);
    // Whether the request's wait is over: answered, refused, lost, or not expected.
    bool settled(std::int64_t requestId);
    // Waits for the reply until deadline and forgets the request, whatever the outcome.
    WaitEnd await(std::int64_t requestId, std::chrono::steady_clock::time_point deadline,
                  std::string& reply);
    // Forgets a request that could not be sent.
    void cancel(std::int64_t requestId);

    // Replies nobody waits for (late, unknown ids, or from another connection than the
    // request's, or from one before it was attached) are dropped. from is null for a reply that
    // came by no connection of its own.
    void fulfil(std::int64_t requestId, const Connection* from, std::string&& reply);
    // An error came for the request instead of its reply.
    void refuse(std::int64_t requestId, std::string&& reason);
    // A reply that names no request answers the one that has waited longest.
    void fulfilOldest(std::string&& reply);
    // The connection the request went out on has ended: its wait ends at once.
    void lost(std::int64_t requestId);
    // Every request waiting has lost the connection it went out on.
    void allLost();

private:
    void settle(std::int64_t requestId, const Connection* from, std::string&& reply, bool refused);

    struct Waiting {
        const Connection* via = nullptr;
        bool answered = false;
        bool lost = false;
        bool refused = false;
        std::string reply;
    };

    Mutex mutex;  // guards waiting
    std::condition_variable changed;
    std::map<std::int64_t, Waiting> waiting TS_GUARDED_BY(mutex);
};

}  // namespace svcreg
