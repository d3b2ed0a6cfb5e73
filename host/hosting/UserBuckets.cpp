#include "UserBuckets.h"

#include <algorithm>
#include <iterator>

namespace svcreg {

namespace {

// More users with buckets than this and the full ones are let go.
constexpr std::size_t kBucketsKept = 1024;

}  // namespace

double UserBuckets::levelAt(const Bucket& bucket, Clock::time_point now) const {
    const double passed = std::max(0.0, std::chrono::duration<double>(now - bucket.filled).count());
    return std::min(capacity, bucket.level + passed * perSecond);
}

double UserBuckets::left(uid_t user, Clock::time_point now) const {
    const auto found = buckets.find(user);
    return found == buckets.end() ? capacity : levelAt(found->second, now);
}

void UserBuckets::take(uid_t user, double amount, Clock::time_point now) {
    if (buckets.size() >= kBucketsKept && buckets.count(user) == 0) forgetFullBuckets(now);
    const double level = left(user, now);
    buckets[user] = Bucket{level - amount, now};
}

void UserBuckets::forgetFullBuckets(Clock::time_point now) {
    for (auto bucket = buckets.begin(); bucket != buckets.end();) {
        bucket =
            levelAt(bucket->second, now) >= capacity ? buckets.erase(bucket) : std::next(bucket);
    }
}

}  // namespace svcreg
