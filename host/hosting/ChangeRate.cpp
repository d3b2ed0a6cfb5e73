#include "ChangeRate.h"

#include <algorithm>
#include <string>

namespace svcreg {

namespace {

// More users with buckets than this and the full ones are let go.
constexpr std::size_t kBucketsKept = 1024;

}  // namespace

bool ChangeRate::allows(uid_t user, Clock::time_point now) const {
    const auto found = buckets.find(user);
    return found == buckets.end() || filledAt(found->second, now) >= 1.0;
}

void ChangeRate::took(uid_t user, Clock::time_point now) {
    if (buckets.size() >= kBucketsKept && buckets.count(user) == 0) forgetFullBuckets(now);
    Bucket& bucket = buckets.try_emplace(user, Bucket{capacity(), now}).first->second;
    bucket.changes = std::max(0.0, filledAt(bucket, now) - 1.0);
    bucket.filled = now;
}

std::string ChangeRate::refusal() const {
    return "over the rate of changes (" + std::to_string(perSecond) + " a second per user, " +
           std::to_string(static_cast<std::size_t>(capacity())) + " at once)";
}

double ChangeRate::filledAt(const Bucket& bucket, Clock::time_point now) const {
    const std::chrono::duration<double> passed = now - bucket.filled;
    return std::min(capacity(), bucket.changes +
                                    std::max(0.0, passed.count()) * static_cast<double>(perSecond));
}

void ChangeRate::forgetFullBuckets(Clock::time_point now) {
    for (auto bucket = buckets.begin(); bucket != buckets.end();) {
        bucket =
            filledAt(bucket->second, now) >= capacity() ? buckets.erase(bucket) : std::next(bucket);
    }
}

}  // namespace svcreg
