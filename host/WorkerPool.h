#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

// A fixed set of threads that run posted tasks in the order posted.
class WorkerPool {
public:
    explicit WorkerPool(unsigned threads);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // Ignored once stop has begun.
    void post(std::function<void()> task);
    // Runs what is already posted, then joins the threads. Not from a worker.
    void stop();

private:
    void work();

    std::mutex mutex;  // guards tasks and stopping
    std::condition_variable wake;
    std::deque<std::function<void()>> tasks;
    bool stopping = false;
    std::vector<std::thread> threads;  // last: started once the rest is built
};
