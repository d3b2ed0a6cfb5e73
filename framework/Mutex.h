#pragma once

#include <mutex>

#include "ThreadSafety.h"

namespace svcreg {

// std::mutex, annotated so that clang checks who holds it.
class TS_CAPABILITY("mutex") Mutex {
public:
    void lock() TS_ACQUIRE() { mutex.lock(); }
    void unlock() TS_RELEASE() { mutex.unlock(); }
    std::mutex& native() { return mutex; }

private:
    std::mutex mutex;
};

// Holds a Mutex for the life of the scope. native() is the lock a condition variable waits on;
// the wait gives the mutex back and takes it again before it returns.
class TS_SCOPED_CAPABILITY MutexLock {
public:
    explicit MutexLock(Mutex& mutex) TS_ACQUIRE(mutex) : lock(mutex.native()) {}
    ~MutexLock() TS_RELEASE() {}
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

    std::unique_lock<std::mutex>& native() { return lock; }

private:
    std::unique_lock<std::mutex> lock;
};

}  // namespace svcreg
