#pragma once

/// \file
/// A counting semaphore, and a scope that holds one of its permits.

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "FrameworkExport.h"
#include "ThreadSafety.h"

/// A counting semaphore, for use by several threads of one process at once. take() and give()
/// without contention cost one atomic operation each; only a taker that has to wait uses the
/// mutex and condition variable.
class FRAMEWORK_API TS_CAPABILITY("semaphore") Semaphore {
public:
    /// The timeout of a take() that waits without limit.
    static constexpr int WAIT_FOREVER = -1;

    /// Starts with initialCount permits and never holds more than maxCount. processShared asks
    /// for a semaphore shared between processes, which this implementation does not offer: it
    /// must be false.
    Semaphore(int initialCount, int maxCount, bool processShared);
    /// No thread may wait on the semaphore any more.
    ~Semaphore();
    Semaphore(const Semaphore&) = delete;             ///< Its waiters wait on this one object.
    Semaphore& operator=(const Semaphore&) = delete;  ///< Its waiters wait on this one object.

    /// Takes one permit, waiting for it at most timeoutMs milliseconds, or without limit when
    /// timeoutMs is negative. False when the time ran out first.
    bool take(int timeoutMs) TS_TRY_ACQUIRE(true);
    /// Returns one permit and wakes one waiter. False, and nothing changes, when the semaphore
    /// already holds maxCount permits.
    bool give() TS_RELEASE();

private:
    bool tryTake();
    bool waitAndTake(int timeoutMs);

    const int maxCount;
    std::atomic<int> count;
    // Threads inside waitAndTake; give() touches the mutex only when there are some.
    std::atomic<int> waiters;
    // Guards nothing but the sleep of waiters, so that a give() cannot slip in between a
    // waiter's last look at count and its wait.
    std::mutex sleepMutex;
    std::condition_variable wakeUp;
};

/// Holds a semaphore's permit for the life of the scope.
class FRAMEWORK_API TS_SCOPED_CAPABILITY CriticalSection {
public:
    /// Takes a permit of semaphore, waiting without limit.
    explicit CriticalSection(Semaphore& semaphore) TS_ACQUIRE(semaphore);
    /// Gives the permit back.
    ~CriticalSection() TS_RELEASE();
    CriticalSection(const CriticalSection&) = delete;             ///< Held by one scope only.
    CriticalSection& operator=(const CriticalSection&) = delete;  ///< Held by one scope only.

private:
    Semaphore& semaphore;
};
