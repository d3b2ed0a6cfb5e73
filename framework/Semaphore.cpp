#include "Semaphore.h"

#include <cassert>
#include <chrono>

Semaphore::Semaphore(int initialCount, int maxCount, bool processShared)
    : maxCount(maxCount), count(initialCount), waiters(0) {
    assert(!processShared && "process-shared semaphores are not supported");
    assert(initialCount >= 0 && initialCount <= maxCount);
    (void)processShared;
}

Semaphore::~Semaphore() = default;

bool Semaphore::take(int timeoutMs) {
    return tryTake() || waitAndTake(timeoutMs);
}

bool Semaphore::give() {
    int current = count.load();
    do {
        if (current >= maxCount) return false;
    } while (!count.compare_exchange_weak(current, current + 1));
    // A waiter registers itself before it looks at count, and this reads waiters after count
    // changed: either the waiter sees the permit or this sees the waiter.
    if (waiters.load() > 0) {
        { std::lock_guard<std::mutex> lock(sleepMutex); }
        wakeUp.notify_one();
    }
    return true;
}

bool Semaphore::tryTake() {
    int current = count.load();
    while (current > 0) {
        if (count.compare_exchange_weak(current, current - 1)) return true;
    }
    return false;
}

bool Semaphore::waitAndTake(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::unique_lock<std::mutex> lock(sleepMutex);
    waiters.fetch_add(1);
    bool taken;
    while (!(taken = tryTake())) {
        if (timeoutMs < 0) {
            wakeUp.wait(lock);
        } else if (wakeUp.wait_until(lock, deadline) == std::cv_status::timeout) {
            taken = tryTake();  // a give may have come with the deadline
            break;
        }
    }
    waiters.fetch_sub(1);
    return taken;
}

CriticalSection::CriticalSection(Semaphore& semaphore) : semaphore(semaphore) {
    semaphore.take(Semaphore::WAIT_FOREVER);
}

CriticalSection::~CriticalSection() {
    semaphore.give();
}
