#include "QuiescenceTracker.h"

#include <gtest/gtest.h>

using namespace svcreg;

namespace {

TEST(QuiescenceTracker, DeferredWorkWaitsForEveryEarlierCallOnly) {
    QuiescenceTracker tracker;
    int ran = 0;
    tracker.defer([&] { ++ran; });
    EXPECT_EQ(ran, 1);  // nothing under way

    const auto first = tracker.enter();
    const auto second = tracker.enter();
    tracker.defer([&] { ++ran; });
    const auto later = tracker.enter();  // entered after the deferral: does not hold it back

    tracker.leave(second);
    EXPECT_EQ(ran, 1);
    tracker.leave(first);
    EXPECT_EQ(ran, 2);

    tracker.defer([&] {
        ++ran;
        tracker.defer([&] { ran += 10; });  // nothing under way any more: runs at once
    });
    EXPECT_EQ(ran, 2);
    tracker.leave(later);
    EXPECT_EQ(ran, 13);
}

}  // namespace
