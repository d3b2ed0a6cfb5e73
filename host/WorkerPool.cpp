#include "WorkerPool.h"

WorkerPool::WorkerPool(unsigned count) {
    for (unsigned i = 0; i < count; ++i) threads.emplace_back([this] { work(); });
}

WorkerPool::~WorkerPool() {
    stop();
}

void WorkerPool::post(std::function<void()> task) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (stopping) return;
        tasks.push_back(std::move(task));
    }
    wake.notify_one();
}

void WorkerPool::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    wake.notify_all();
    for (std::thread& thread : threads) {
        if (thread.joinable()) thread.join();
    }
}

void WorkerPool::work() {
    for (;;) {
        std::function<void()> task;
        {
            std::unique_lock<std::mutex> lock(mutex);
            wake.wait(lock, [this] { return stopping || !tasks.empty(); });
            if (tasks.empty()) return;
            task = std::move(tasks.front());
            tasks.pop_front();
        }
        task();
    }
}
