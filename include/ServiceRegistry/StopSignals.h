#pragma once

/// \file
/// SIGINT and SIGTERM as a stop request.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <thread>

#include "HostExport.h"
#include "Mutex.h"

namespace svcreg {

/// Turns SIGINT and SIGTERM into a stop request that waits can watch. Build it first thing in
/// main: it blocks those signals in the calling thread, and so in every thread started later,
/// and takes them on a thread of its own. One per process. Its operations may be called from
/// any thread at once.
class HOST_API StopSignals {
public:
    /// Blocks SIGINT and SIGTERM in the calling thread and starts the thread that takes them.
    /// Throws std::system_error when the thread cannot be started.
    StopSignals();
    /// Ends the signal-taking thread; the signals stay blocked in the threads that block them.
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;             ///< One per process.
    StopSignals& operator=(const StopSignals&) = delete;  ///< One per process.

    /// Waits until a stop is requested.
    void waitForStop();
    /// Waits at most timeout; true once a stop is requested.
    bool waitForStop(std::chrono::milliseconds timeout);
    /// Runs hook, on the signal-taking thread, when a stop is requested (at once, on the calling
    /// thread, when one was requested already); an empty one for none.
    /// Once this returns, the hook it replaced is not running and will not run.
    void whenStopped(std::function<void()> hook);

private:
    Mutex mutex;  // guards stopping and stopHook
    std::condition_variable changed;
    bool stopping TS_GUARDED_BY(mutex) = false;
    std::function<void()> stopHook TS_GUARDED_BY(mutex);
    std::thread watcher;
};

}  // namespace svcreg
