#include "Semaphore.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

TEST(Semaphore, CountsPermitsFromItsStartUpToItsMaximum) {
    Semaphore binary(1, 1, false), counting(2, 3, false);
    EXPECT_TRUE(binary.take(0));
    EXPECT_FALSE(binary.take(0));
    EXPECT_TRUE(binary.give());
    EXPECT_FALSE(binary.give()) << "a second give would exceed the maximum of one";
    EXPECT_TRUE(binary.take(Semaphore::WAIT_FOREVER));

    EXPECT_TRUE(counting.take(0));
    EXPECT_TRUE(counting.take(0));
    EXPECT_FALSE(counting.take(0));
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(counting.give());
    EXPECT_FALSE(counting.give());
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(counting.take(0));
    EXPECT_FALSE(counting.take(0));
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
