#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <vector>

#include "Mutex.h"

namespace svcreg {

// How long no peer has been connected to the channels a process serves, and the calls waiting
// for a quiet that long (see HostFramework::whenIdle). The transport tells it each accepted
// connection that opens and closes, and looks at it on its tick; the times come from the
// caller, so that the rule can be checked at any instant.
//
// Threads: any. Nothing is called under its lock: check hands back what is due.
class IdleWatch {
public:
    using Clock = std::chrono::steady_clock;

    // A peer connected to a served channel / one such connection closed at now.
    void connected();
    void disconnected(Clock::time_point now);
    // idle is due once, at the first check when no peer is connected and none has been for
    // quiet, counting from now at the latest.
    void add(std::chrono::milliseconds quiet, std::function<void()> idle, Clock::time_point now);
    // Takes out the calls due at now, each once, for the caller to run outside the lock.
    std::vector<std::function<void()>> due(Clock::time_point now);

private:
    struct Waiter {
        Clock::time_point from;  // when the quiet began to count for it: its add
        std::chrono::milliseconds quiet;
        std::function<void()> idle;
    };

    Mutex mutex;  // guards what follows; nothing is called while it is held
    std::size_t open TS_GUARDED_BY(mutex) = 0;
    Clock::time_point lastClose TS_GUARDED_BY(mutex);  // of a connection; the epoch for none
    std::vector<Waiter> waiters TS_GUARDED_BY(mutex);
};

}  // namespace svcreg
