#pragma once

#include <sys/types.h>

#include <chrono>
#include <unordered_map>

namespace svcreg {

// A bucket of one quantity for each user, filled at a rate up to a capacity: what a user has
// left now, and what it takes. A take may go below zero, a debt the filling pays back first, so
// that work measured once done (a time) counts in full. Only users whose bucket is not full are
// kept; past a thousand of them, the full ones are let go. Not thread-safe.
class UserBuckets {
public:
    using Clock = std::chrono::steady_clock;

    UserBuckets(double capacity, double perSecond) : capacity(capacity), perSecond(perSecond) {}

    double left(uid_t user, Clock::time_point now) const;
    void take(uid_t user, double amount, Clock::time_point now);

private:
    struct Bucket {
        double level;
        Clock::time_point filled;
    };

    double levelAt(const Bucket& bucket, Clock::time_point now) const;
    void forgetFullBuckets(Clock::time_point now);

    const double capacity;
    const double perSecond;
    std::unordered_map<uid_t, Bucket> buckets;
};

}  // namespace svcreg
