#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

#include "UserRate.h"

namespace svcreg {

// How fast each user may change the registry, by the count of changes and by their bytes: a
// bucket of each per user holding up to ten seconds' worth, filled at its rate, and a change
// made takes one change and its bytes. No user can then burn the service ids or churn the
// journal faster than that, nor keep the daemon busy with large changes: a change's work grows
// with its bytes. A burst at a service's start passes. Not thread-safe: the pipeline holds its
// lock around it.
class ChangeRate {
public:
    using Clock = UserRate::Clock;
    enum class Verdict { Allowed, OverChanges, OverBytes };

    ChangeRate(std::size_t changesPerSecond, std::size_t bytesPerSecond);

    // Whether user may make a change of bytes now; takes nothing.
    Verdict judge(uid_t user, std::size_t bytes, Clock::time_point now) const;
    // user has made a change of bytes now.
    void took(uid_t user, std::size_t bytes, Clock::time_point now);
    // Empty for Allowed; else "over the rate of changes (100 a second per user, 1000 at once)"
    // or the same of change bytes.
    std::string refusal(Verdict verdict) const;

private:
    UserRate changes;
    UserRate bytes;
};

}  // namespace svcreg
