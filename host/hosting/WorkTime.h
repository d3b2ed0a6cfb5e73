#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>

#include "UserBuckets.h"

namespace svcreg {

// How much of the daemon's time each user's subscriptions, and their ends, may take. Finding the
// process that serves the channel a subscriber names reads the kernel's whole table of file
// locks, which any user can make as long as they like (a second and more), on the event loop
// that handles the request. Each user has a bucket of a second, filled at a tenth of a second
// each second; a subscription (or its end) takes what it took, refused or not, and a user whose
// bucket is empty is refused until it fills:
// no user keeps a loop busy more than a tenth of the time. A subscription at a private channel
// takes microseconds. Not thread-safe: the pipeline holds its lock around it.
class WorkTime {
public:
    using Clock = UserBuckets::Clock;

    // Whether user has time left now.
    bool allows(uid_t user, Clock::time_point now) const { return seconds.left(user, now) > 0; }
    // user's work took spent, up to now.
    void took(uid_t user, Clock::duration spent, Clock::time_point now) {
        seconds.take(user, std::chrono::duration<double>(spent).count(), now);
    }
    // Why a user with no time left is refused.
    static std::string refusal();

private:
    // A second at most, a tenth of a second more each second.
    UserBuckets seconds{1.0, 0.1};
};

}  // namespace svcreg
