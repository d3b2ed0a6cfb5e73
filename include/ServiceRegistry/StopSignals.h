#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <thread>

#include "HostExport.h"
#include "Mutex.h"

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

    // Waits until a stop is requested.
    void waitForStop();
    // Waits at most timeout; true once a stop is requested.
    bool waitForStop(std::chrono::milliseconds timeout);
    // Runs hook, on the signal-taking thread, when a stop is requested (at once, on the calling
    // thread, when one was requested already); an empty one for none.
    // Once this returns, the hook it replaced is not running and will not run.
    void whenStopped(std::function<void()> hook);

private:
    Mutex mutex;  // guards stopping and stopHook
    std::condition_variable changed;
    bool stopping TS_GUARDED_BY(mutex) = false;
    std::function<void()> stopHook TS_GUARDED_BY(mutex);
    std::thread watcher;
};

}  // namespace svcreg
