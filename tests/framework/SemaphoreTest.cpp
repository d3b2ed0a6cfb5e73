#include "Semaphore.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

TEST(Semaphore, CountsPermitsFromItsStartUpToItsMaximum) {
    const struct { int initial, maximum; } rows[] = {{1, 1}, {2, 3}};
    for (const auto& row : rows) {
        SCOPED_TRACE(std::to_string(row.initial) + " of " + std::to_string(row.maximum));
        Semaphore semaphore(row.initial, row.maximum, false);
        for (int i = 0; i < row.initial; ++i) EXPECT_TRUE(semaphore.take(0));
        EXPECT_FALSE(semaphore.take(0));
        for (int i = 0; i < row.maximum; ++i) EXPECT_TRUE(semaphore.give());
        EXPECT_FALSE(semaphore.give()) << "a give beyond the maximum";
        for (int i = 0; i < row.maximum; ++i) EXPECT_TRUE(semaphore.take(Semaphore::WAIT_FOREVER));
        EXPECT_FALSE(semaphore.take(0));
    }
}

TEST(Semaphore, TimedTakeFailsAfterItsTimeoutAndWaitingTakeReturnsOnAGive) {
    Semaphore semaphore(0, 1, false);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(semaphore.take(30));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));

    std::thread waiter([&] { EXPECT_TRUE(semaphore.take(Semaphore::WAIT_FOREVER)); });
    EXPECT_TRUE(semaphore.give());
    waiter.join();
    EXPECT_FALSE(semaphore.take(0)) << "the waiter consumed the permit";
}
