#include "QuiescenceTracker.h"

#include <vector>

namespace svcreg {

QuiescenceTracker::Ticket QuiescenceTracker::enter() {
    MutexLock lock(mutex);
    const Ticket ticket = nextTicket++;
    active.insert(ticket);
    return ticket;
}

void QuiescenceTracker::leave(Ticket ticket) {
    std::vector<std::function<void()>> ready;
    {
        MutexLock lock(mutex);
        active.erase(ticket);
        while (!deferred.empty() && (active.empty() || *active.begin() > deferred.front().first)) {
            ready.push_back(std::move(deferred.front().second));
            deferred.pop_front();
        }
    }
    for (auto& work : ready) work();
}

void QuiescenceTracker::defer(std::function<void()> work) {
    {
        MutexLock lock(mutex);
        if (!active.empty()) {
            deferred.emplace_back(nextTicket - 1, std::move(work));
            return;
        }
    }
    work();
}

}  // namespace svcreg
