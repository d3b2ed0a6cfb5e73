#include "Semaphore.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

TEST(Semaphore, BinarySemaphoreStartsFreeAndHoldsOnePermit) {
    Semaphore semaphore(1, 1, false);
    EXPECT_TRUE(semaphore.take(0));
    EXPECT_FALSE(semaphore.take(0));
    EXPECT_TRUE(semaphore.give());
    EXPECT_FALSE(semaphore.give()) << "a second give would exceed the maximum of one";
    EXPECT_TRUE(semaphore.take(Semaphore::WAIT_FOREVER));
}

TEST(Semaphore, CountsPermitsUpToItsMaximum) {
    Semaphore semaphore(2, 3, false);
    EXPECT_TRUE(semaphore.take(0));
    EXPECT_TRUE(semaphore.take(0));
    EXPECT_FALSE(semaphore.take(0));
    EXPECT_TRUE(semaphore.give());
    EXPECT_TRUE(semaphore.give());
    EXPECT_TRUE(semaphore.give());
    EXPECT_FALSE(semaphore.give());
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(semaphore.take(0));
    EXPECT_FALSE(semaphore.take(0));
}

TEST(Semaphore, TimedTakeWaitsAtLeastItsTimeoutThenFails) {
    Semaphore semaphore(0, 1, false);
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(semaphore.take(30));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
}

TEST(Semaphore, WaitingTakeReturnsOnceAnotherThreadGives) {
    Semaphore semaphore(0, 1, false);
    std::atomic<bool> taken{false};
    std::thread waiter([&] {
        EXPECT_TRUE(semaphore.take(Semaphore::WAIT_FOREVER));
        taken = true;
    });
    EXPECT_FALSE(taken.load());
    EXPECT_TRUE(semaphore.give());
    waiter.join();
    EXPECT_TRUE(taken.load());
    EXPECT_FALSE(semaphore.take(0)) << "the waiter consumed the permit";
}

TEST(CriticalSection, ExcludesOtherThreadsAndReleasesAtScopeEnd) {
    Semaphore semaphore(1, 1, false);
    long counter = 0;  // deliberately not atomic: only the semaphore protects it
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                CriticalSection hold(semaphore);
                ++counter;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(counter, 80000);
    EXPECT_TRUE(semaphore.take(0)) << "every critical section gave its permit back";
}
