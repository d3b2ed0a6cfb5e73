#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <unordered_map>

#include "Mutex.h"

namespace svcreg {

// One resource counted per user and in total against two limits, so that what one user holds
// cannot take what the others need.
class UserBudget {
public:
    enum class Verdict { Taken, OverUserLimit, OverTotalLimit };

    UserBudget(std::size_t perUser, std::size_t total) : perUserLimit(perUser), totalLimit(total) {}

    // Takes amount for user, or nothing when either limit would be passed.
    Verdict take(uid_t user, std::size_t amount);
    // What take would say, taking nothing.
    Verdict wouldTake(uid_t user, std::size_t amount) const;
    // Whether amount more fits the limits beside ofUser held by its user and inTotal by all, for
    // a resource counted elsewhere.
    Verdict judge(std::size_t ofUser, std::size_t inTotal, std::size_t amount) const;
    // Gives back what take took; never more than user holds.
    void give(uid_t user, std::size_t amount);
    std::size_t heldBy(uid_t user) const;

    std::size_t perUser() const { return perUserLimit; }
    std::size_t total() const { return totalLimit; }
    // "8 per user" or "1024 in total", for the log line of a refusal.
    std::string describe(Verdict verdict) const;
    // Empty for Taken; else "over the quota of <what> (8 per user)", for a peer and the log.
    std::string refusal(const char* what, Verdict verdict) const;

private:
    const std::size_t perUserLimit;
    const std::size_t totalLimit;

    mutable Mutex mutex;  // guards held and heldInTotal
    std::unordered_map<uid_t, std::size_t> held TS_GUARDED_BY(mutex);
    std::size_t heldInTotal TS_GUARDED_BY(mutex) = 0;
};

}  // namespace svcreg
