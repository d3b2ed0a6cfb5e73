#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

#include "UserBuckets.h"

namespace svcreg {

// How much of one quantity each user may take a second: a bucket per user holding up to ten
// seconds' worth, filled at the rate, so that a burst passes and a steady flow is held to the
// rate. Not thread-safe.
class UserRate {
public:
    using Clock = UserBuckets::Clock;

    // what names the quantity in a refusal: "changes", "change bytes".
    UserRate(const char* what, std::size_t perSecond);

    // Whether user's bucket holds amount now.
    bool allows(uid_t user, double amount, Clock::time_point now) const {
        return bucket.left(user, now) >= amount;
    }
    // Takes amount from user's bucket now, below empty when it holds less: a debt the filling
    // pays back first.
    void take(uid_t user, double amount, Clock::time_point now) { bucket.take(user, amount, now); }
    // "over the rate of changes (100 a second per user, 1000 at once)", for a peer and the log.
    std::string refusal() const;

private:
    const char* const what;
    const std::size_t perSecond;
    UserBuckets bucket;
};

}  // namespace svcreg
