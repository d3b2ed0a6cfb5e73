#include "ChangeRate.h"

#include <algorithm>
#include <string>

namespace svcreg {

namespace {

// More users with buckets than this and the full ones are let go.
constexpr std::size_t kBucketsKept = 1024;
// A full bucket holds this many seconds' worth of each rate.
constexpr double kBurstSeconds = 10.0;

double burstOf(std::size_t perSecond) {
    return kBurstSeconds * static_cast<double>(perSecond);
}

// level, filled at perSecond for passed seconds, up to a burst's worth.
double refilled(double level, std::size_t perSecond, double passed) {
    return std::min(burstOf(perSecond), level + passed * static_cast<double>(perSecond));
}

std::string rateRefusal(const char* what, std::size_t perSecond) {
    return std::string("over the rate of ") + what + " (" + std::to_string(perSecond) +
           " a second per user, " + std::to_string(static_cast<std::size_t>(burstOf(perSecond))) +
           " at once)";
}

}  // namespace

ChangeRate::Verdict ChangeRate::judge(uid_t user, std::size_t bytes, Clock::time_point now) const {
    const auto found = buckets.find(user);
    const Bucket left = found != buckets.end() ? filledAt(found->second, now) : full(now);
    if (left.changes < 1.0) return Verdict::OverChanges;
    if (left.bytes < static_cast<double>(bytes)) return Verdict::OverBytes;
    return Verdict::Allowed;
}

void ChangeRate::took(uid_t user, std::size_t bytes, Clock::time_point now) {
    if (buckets.size() >= kBucketsKept && buckets.count(user) == 0) forgetFullBuckets(now);
    Bucket& bucket = buckets.try_emplace(user, full(now)).first->second;
    bucket = filledAt(bucket, now);
    bucket.changes = std::max(0.0, bucket.changes - 1.0);
    bucket.bytes = std::max(0.0, bucket.bytes - static_cast<double>(bytes));
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

ChangeRate::Bucket ChangeRate::filledAt(const Bucket& bucket, Clock::time_point now) const {
    const double passed = std::max(0.0, std::chrono::duration<double>(now - bucket.filled).count());
    return {refilled(bucket.changes, changesPerSecond, passed),
            refilled(bucket.bytes, bytesPerSecond, passed), now};
}

ChangeRate::Bucket ChangeRate::full(Clock::time_point now) const {
    return {burstOf(changesPerSecond), burstOf(bytesPerSecond), now};
}

void ChangeRate::forgetFullBuckets(Clock::time_point now) {
    for (auto bucket = buckets.begin(); bucket != buckets.end();) {
        const Bucket left = filledAt(bucket->second, now);
        const bool isFull =
            left.changes >= burstOf(changesPerSecond) && left.bytes >= burstOf(bytesPerSecond);
        bucket = isFull ? buckets.erase(bucket) : std::next(bucket);
    }
}

}  // namespace svcreg
