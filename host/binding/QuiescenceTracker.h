#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <set>
#include <utility>

#include "Mutex.h"

namespace svcreg {

// Tells when every call that was under way at some moment has finished. Calls into the
// registry are bracketed with enter and leave; work deferred at a moment runs once all calls
// entered before it have left, so an object no call can reach any more is freed only after
// the last call that might still hold it.
class QuiescenceTracker {
public:
    using Ticket = std::uint64_t;

    Ticket enter();
    // Runs, on this thread, the deferred work that this call was the last to hold back.
    void leave(Ticket ticket);
    // Runs work at once when no call is under way.
    void defer(std::function<void()> work);

    // One call, entered for as long as the object lives, whichever way the call ends.
    class Call {
    public:
        explicit Call(QuiescenceTracker& tracker) : tracker(tracker), ticket(tracker.enter()) {}
        ~Call() { tracker.leave(ticket); }
        Call(const Call&) = delete;
        Call& operator=(const Call&) = delete;

    private:
        QuiescenceTracker& tracker;
        const Ticket ticket;
    };

private:
    Mutex mutex;  // guards the members below; deferred work runs without it
    Ticket nextTicket TS_GUARDED_BY(mutex) = 1;
    std::set<Ticket> active TS_GUARDED_BY(mutex);
    // In deferral order; each waits for every ticket up to its first member to leave.
    std::deque<std::pair<Ticket, std::function<void()>>> deferred TS_GUARDED_BY(mutex);
};

}  // namespace svcreg
