#include "ChangeRate.h"

namespace svcreg {

ChangeRate::ChangeRate(std::size_t changesPerSecond, std::size_t bytesPerSecond)
    : changes("changes", changesPerSecond), bytes("change bytes", bytesPerSecond) {}

ChangeRate::Verdict ChangeRate::judge(uid_t user, std::size_t size, Clock::time_point now) const {
    if (!changes.allows(user, 1.0, now)) return Verdict::OverChanges;
    if (!bytes.allows(user, static_cast<double>(size), now)) return Verdict::OverBytes;
    return Verdict::Allowed;
}

void ChangeRate::took(uid_t user, std::size_t size, Clock::time_point now) {
    changes.take(user, 1.0, now);
    bytes.take(user, static_cast<double>(size), now);
}

std::string ChangeRate::refusal(Verdict verdict) const {
    switch (verdict) {
        case Verdict::OverChanges:
            return changes.refusal();
        case Verdict::OverBytes:
            return bytes.refusal();
        case Verdict::Allowed:
            break;
    }
    return std::string();
}

}  // namespace svcreg
