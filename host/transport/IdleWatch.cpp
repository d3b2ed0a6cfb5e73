#include "IdleWatch.h"

#include <algorithm>

namespace svcreg {

void IdleWatch::connected() {
    MutexLock hold(mutex);
    ++open;
}

void IdleWatch::disconnected(Clock::time_point now) {
    MutexLock hold(mutex);
    if (open > 0) --open;
    lastClose = std::max(lastClose, now);
}

void IdleWatch::add(std::chrono::milliseconds quiet, std::function<void()> idle,
                    Clock::time_point now) {
    MutexLock hold(mutex);
    waiters.push_back(Waiter{now, quiet, std::move(idle)});
}

// A connection that opened and closed between two checks still restarts the count: from its
// close.
std::vector<std::function<void()>> IdleWatch::due(Clock::time_point now) {
    std::vector<std::function<void()>> calls;
    MutexLock hold(mutex);
    if (open > 0) return calls;
    std::vector<Waiter> waiting;
    for (Waiter& waiter : waiters) {
        if (now - std::max(waiter.from, lastClose) < waiter.quiet) {
            waiting.push_back(std::move(waiter));
        } else {
            calls.push_back(std::move(waiter.idle));
        }
    }
    waiters.swap(waiting);
    return calls;
}

}  // namespace svcreg
