#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <string>
#include <unordered_map>

namespace svcreg {

// How fast each user may change the registry: a bucket per user holding up to ten seconds'
// worth of changes, filled at perSecond, one taken by each change made. No user can then burn
// the service ids or churn the journal faster than that, and a burst at a service's start
// passes. Not thread-safe: the pipeline holds its lock around it.
class ChangeRate {
public:
    using Clock = std::chrono::steady_clock;

    explicit ChangeRate(std::size_t perSecond) : perSecond(perSecond) {}

    // Whether user may make a change now; takes nothing.
    bool allows(uid_t user, Clock::time_point now) const;
    // user has made a change now.
    void took(uid_t user, Clock::time_point now);
    // "over the rate of changes (100 a second per user, 1000 at once)".
    std::string refusal() const;

private:
    struct Bucket {
        double changes;
        Clock::time_point filled;
    };

    double capacity() const { return 10.0 * static_cast<double>(perSecond); }
    // What bucket holds at now, filled since it was last.
    double filledAt(const Bucket& bucket, Clock::time_point now) const;
    // A user with a full bucket needs none kept.
    void forgetFullBuckets(Clock::time_point now);

    const std::size_t perSecond;
    std::unordered_map<uid_t, Bucket> buckets;
};

}  // namespace svcreg
