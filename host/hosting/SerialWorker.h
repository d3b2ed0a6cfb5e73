#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <utility>

#include "Mutex.h"

namespace svcreg {

// A thread of its own that runs tasks one at a time, in the order asked, for work that may take
// long and must not hold up the event loops: a read of the kernel's table of file locks, which
// anyone may make as long as they like. A task asked for again under the same key while it waits
// is not queued again, so that what waits is bounded by the keys, however often they are asked.
class SerialWorker {
public:
    SerialWorker();
    ~SerialWorker();
    SerialWorker(const SerialWorker&) = delete;
    SerialWorker& operator=(const SerialWorker&) = delete;

    // Queues task under key unless a task of that key waits already, or the worker stopped.
    void ask(const std::string& key, std::function<void()> task);
    // Runs nothing more, and returns once the task under way, if any, has returned.
    void stop();

private:
    void run();

    Mutex mutex;  // guards the rest
    std::condition_variable asked;
    std::deque<std::pair<std::string, std::function<void()>>> queue TS_GUARDED_BY(mutex);
    std::set<std::string> waiting TS_GUARDED_BY(mutex);  // the keys in queue
    bool stopping TS_GUARDED_BY(mutex) = false;
    std::thread thread;  // last: started once the rest is
};

}  // namespace svcreg
