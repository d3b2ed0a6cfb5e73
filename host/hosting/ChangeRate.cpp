#include "ChangeRate.h"

#include <algorithm>
#include <string>

namespace svcreg {

namespace {

// A full bucket holds this many seconds' worth of each rate.
constexpr double kBurstSeconds = 10.0;

double burstOf(std::size_t perSecond) {
    return kBurstSeconds * static_cast<double>(perSecond);
}

std::string rateRefusal(const char* what, std::size_t perSecond) {
    return std::string("over the rate of ") + what + " (" + std::to_string(perSecond) +
           " a second per user, " + std::to_string(static_cast<std::size_t>(burstOf(perSecond))) +
           " at once)";
}

}  // namespace

ChangeRate::ChangeRate(std::size_t changesPerSecond, std::size_t bytesPerSecond)
    : changesPerSecond(changesPerSecond),
      bytesPerSecond(bytesPerSecond),
      changes(burstOf(changesPerSecond), static_cast<double>(changesPerSecond)),
      bytes(burstOf(bytesPerSecond), static_cast<double>(bytesPerSecond)) {}

ChangeRate::Verdict ChangeRate::judge(uid_t user, std::size_t size, Clock::time_point now) const {
    if (changes.left(user, now) < 1.0) return Verdict::OverChanges;
    if (bytes.left(user, now) < static_cast<double>(size)) return Verdict::OverBytes;
    return Verdict::Allowed;
}

void ChangeRate::took(uid_t user, std::size_t size, Clock::time_point now) {
    changes.take(user, 1.0, now);
    bytes.take(user, static_cast<double>(size), now);
}

std::string ChangeRate::refusal(Verdict verdict) const {
    switch (verdict) {
        case Verdict::OverChanges:
            return rateRefusal("changes", changesPerSecond);
        case Verdict::OverBytes:
            return rateRefusal("change bytes", bytesPerSecond);
        case Verdict::Allowed:
            break;
    }
    return std::string();
}

}  // namespace svcreg
