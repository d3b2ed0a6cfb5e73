#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <thread>

#include "Mutex.h"

namespace svcreg {

// A thread of its own that runs tasks one at a time, for work that may take long and must not
// hold up the event loops: a read of the kernel's table of file locks, which anyone may make as
// long as they like. Each task is for an owner, the user it is done for. Owners take turns, one
// task each, in the order they came to have tasks waiting; an owner's own tasks run in the order
// asked. So a task waits for at most one task of each other owner, however many that owner asked
// for. A task asked for again under the same key while it waits, by any owner, is not queued
// again, so that what waits is bounded by the keys, however often they are asked.
class SerialWorker {
public:
    SerialWorker();
    ~SerialWorker();
    SerialWorker(const SerialWorker&) = delete;
    SerialWorker& operator=(const SerialWorker&) = delete;

    // Queues task for owner under key unless a task of that key waits already, or the worker
    // stopped.
    void ask(uid_t owner, const std::string& key, std::function<void()> task);
    // Runs nothing more, and returns once the task under way, if any, has returned.
    void stop();

private:
    struct Task {
        std::string key;
        std::function<void()> run;
    };

    void run();

    Mutex mutex;  // guards the rest
    std::condition_variable asked;
    std::map<uid_t, std::deque<Task>> queues TS_GUARDED_BY(mutex);  // by owner; none empty
    std::deque<uid_t> turns TS_GUARDED_BY(mutex);  // the owners in queues, the next to run first
    std::set<std::string> waiting TS_GUARDED_BY(mutex);  // the keys in queues
    bool stopping TS_GUARDED_BY(mutex) = false;
    std::thread thread;  // last: started once the rest is
};

}  // namespace svcreg
