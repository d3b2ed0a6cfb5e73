#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <unordered_map>

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
    using Clock = std::chrono::steady_clock;

    // Whether user has time left now.
    bool allows(uid_t user, Clock::time_point now) const;
    // user's work took spent, up to now.
    void took(uid_t user, Clock::duration spent, Clock::time_point now);
    // Why a user with no time left is refused.
    static std::string refusal();

private:
    struct Bucket {
        double seconds;
        Clock::time_point filled;
    };

    static double leftAt(const Bucket& bucket, Clock::time_point now);

    // Only users with less than a full bucket are kept.
    std::unordered_map<uid_t, Bucket> buckets;
};

}  // namespace svcreg
