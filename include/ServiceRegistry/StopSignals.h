#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "HostExport.h"

namespace svcreg {

// Turns SIGINT and SIGTERM into a stop request that waits can watch. Build it first thing in
// main: it blocks those signals in the calling thread, and so in every thread started later,
// and takes them on a thread of its own.
class HOST_API StopSignals {
public:
    StopSignals();
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // Waits until a stop is requested, done() holds (checked again on each notify) or the
    // deadline passes. True when done() held.
    bool waitUntil(std::chrono::steady_clock::time_point deadline,
                   const std::function<bool()>& done);
    // Waits until a stop is requested.
    void waitForStop();
    // Runs hook, on the signal-taking thread, when a stop is requested; an empty one for none.
    // Once this returns, the hook it replaced is not running and will not run.
    void whenStopped(std::function<void()> hook);
    // Tells waiters that what done() checks may have changed.
    void notify();
    bool stopRequested();

private:
    std::mutex mutex;  // guards stopping and stopHook
    std::condition_variable changed;
    bool stopping = false;
    std::function<void()> stopHook;
    std::thread watcher;
};

}  // namespace svcreg
