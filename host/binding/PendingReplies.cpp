#include "PendingReplies.h"

namespace svcreg {

void PendingReplies::expect(std::int64_t requestId) {
    MutexLock lock(mutex);
    waiting[requestId] = Waiting();
}

void PendingReplies::attach(std::int64_t requestId, const Connection& connection) {
    MutexLock lock(mutex);
    auto found = waiting.find(requestId);
    if (found == waiting.end()) return;
    found->second.via = &connection;
}

bool PendingReplies::settled(std::int64_t requestId) {
    MutexLock lock(mutex);
    auto found = waiting.find(requestId);
    return found == waiting.end() || found->second.answered || found->second.lost;
}

PendingReplies::WaitEnd PendingReplies::await(std::int64_t requestId,
                                              std::chrono::steady_clock::time_point deadline,
                                              std::string& reply) {
    MutexLock lock(mutex);
    auto found = waiting.find(requestId);
    if (found == waiting.end()) return WaitEnd::ConnectionLost;
    changed.wait_until(lock.native(), deadline,
                       [&found] { return found->second.answered || found->second.lost; });
    WaitEnd end = WaitEnd::TimedOut;
    if (found->second.answered) {
        reply = std::move(found->second.reply);
        end = found->second.refused ? WaitEnd::Refused : WaitEnd::Answered;
    } else if (found->second.lost) {
        end = WaitEnd::ConnectionLost;
    }
    waiting.erase(found);
    return end;
}

void PendingReplies::cancel(std::int64_t requestId) {
    MutexLock lock(mutex);
    waiting.erase(requestId);
}

void PendingReplies::fulfil(std::int64_t requestId, const Connection* from, std::string&& reply) {
    settle(requestId, from, std::move(reply), false);
}

void PendingReplies::refuse(std::int64_t requestId, std::string&& reason) {
    settle(requestId, nullptr, std::move(reason), true);
}

void PendingReplies::settle(std::int64_t requestId, const Connection* from, std::string&& reply,
                            bool refused) {
    {
        MutexLock lock(mutex);
        auto found = waiting.find(requestId);
        if (found == waiting.end() || found->second.answered) return;
        // A request attached to no connection has gone out on none (see attach).
        if (found->second.via != from) return;
        found->second.reply = std::move(reply);
        found->second.answered = true;
        found->second.refused = refused;
    }
    changed.notify_all();
}

void PendingReplies::fulfilOldest(std::string&& reply) {
    std::int64_t oldest;
    {
        MutexLock lock(mutex);
        if (waiting.empty()) return;
        oldest = waiting.begin()->first;
    }
    fulfil(oldest, nullptr, std::move(reply));
}

void PendingReplies::lost(std::int64_t requestId) {
    {
        MutexLock lock(mutex);
        auto found = waiting.find(requestId);
        if (found == waiting.end()) return;
        found->second.lost = true;
    }
    changed.notify_all();
}

void PendingReplies::allLost() {
    {
        MutexLock lock(mutex);
        for (auto& entry : waiting) entry.second.lost = true;
    }
    changed.notify_all();
}

}  // namespace svcreg
