#include "WorkTime.h"

#include <algorithm>

namespace svcreg {

namespace {

constexpr double kMostSeconds = 1.0;
constexpr double kSecondsPerSecond = 0.1;

}  // namespace

double WorkTime::leftAt(const Bucket& bucket, Clock::time_point now) {
    const double passed = std::chrono::duration<double>(now - bucket.filled).count();
    return std::min(kMostSeconds, bucket.seconds + passed * kSecondsPerSecond);
}

bool WorkTime::allows(uid_t user, Clock::time_point now) const {
    const auto found = buckets.find(user);
    return found == buckets.end() || leftAt(found->second, now) > 0;
}

void WorkTime::took(uid_t user, Clock::duration spent, Clock::time_point now) {
    for (auto bucket = buckets.begin(); bucket != buckets.end();) {
        bucket =
            leftAt(bucket->second, now) >= kMostSeconds ? buckets.erase(bucket) : std::next(bucket);
    }
    const auto found = buckets.find(user);
    const double left = found == buckets.end() ? kMostSeconds : leftAt(found->second, now);
    buckets[user] = Bucket{left - std::chrono::duration<double>(spent).count(), now};
}

std::string WorkTime::refusal() {
    return "its subscriptions took more than their share of the registry's time (a tenth of a "
           "second each second, a second at once): finding who serves a channel reads the "
           "system's table of file locks, as long as its locks make it";
}

}  // namespace svcreg
