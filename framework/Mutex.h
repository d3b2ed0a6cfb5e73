#pragma once

/// \file
/// A mutex that clang's thread-safety analysis checks, and its scoped lock.

#include <mutex>

#include "ThreadSafety.h"

namespace svcreg {

/// std::mutex, annotated so that clang checks who holds it. Not recursive.
class TS_CAPABILITY("mutex") Mutex {
public:
    /// Waits until this thread holds the mutex; a thread that holds it already must not.
    /// Throws std::system_error when the system refuses.
    void lock() TS_ACQUIRE() { mutex.lock(); }
    /// Gives the mutex back; only the thread that holds it may.
    void unlock() TS_RELEASE() { mutex.unlock(); }
    /// The std::mutex inside, for the standard's locks and condition variables.
    std::mutex& native() { return mutex; }

private:
    std::mutex mutex;
};

/// Holds a Mutex for the life of the scope. native() is the lock a condition variable waits on;
/// the wait gives the mutex back and takes it again before it returns.
class TS_SCOPED_CAPABILITY MutexLock {
public:
    /// Waits until this thread holds mutex, as Mutex::lock.
    explicit MutexLock(Mutex& mutex) TS_ACQUIRE(mutex) : lock(mutex.native()) {}
    /// Gives the mutex back.
    ~MutexLock() TS_RELEASE() {}
    MutexLock(const MutexLock&) = delete;             ///< Held by one scope only.
    MutexLock& operator=(const MutexLock&) = delete;  ///< Held by one scope only.

    /// The lock a std::condition_variable waits on.
    std::unique_lock<std::mutex>& native() { return lock; }

private:
    std::unique_lock<std::mutex> lock;
};

}  // namespace svcreg
