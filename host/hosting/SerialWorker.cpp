#include "SerialWorker.h"

namespace svcreg {

SerialWorker::SerialWorker() : thread([this] { run(); }) {}

SerialWorker::~SerialWorker() {
    stop();
}

// An owner with no task waiting takes the last turn.
void SerialWorker::ask(uid_t owner, const std::string& key, std::function<void()> task) {
    {
        MutexLock hold(mutex);
        if (stopping || !waiting.insert(key).second) return;
        std::deque<Task>& queue = queues[owner];
        if (queue.empty()) turns.push_back(owner);
        queue.push_back(Task{key, std::move(task)});
    }
    asked.notify_one();
}

void SerialWorker::stop() {
    {
        MutexLock hold(mutex);
        stopping = true;
        queues.clear();
        turns.clear();
        waiting.clear();
    }
    asked.notify_one();
    if (thread.joinable()) thread.join();
}

// The owner whose turn it is runs its first task, and takes the last turn if it has more. The key
// is free again once its task is taken: a task asked for while it runs runs again after.
void SerialWorker::run() {
    MutexLock hold(mutex);
    while (!stopping) {
        if (turns.empty()) {
            asked.wait(hold.native());
            continue;
        }
        const uid_t owner = turns.front();
        turns.pop_front();
        auto queue = queues.find(owner);
        Task task = std::move(queue->second.front());
        queue->second.pop_front();
        if (queue->second.empty())
            queues.erase(queue);
        else
            turns.push_back(owner);
        waiting.erase(task.key);
        hold.native().unlock();
        task.run();
        hold.native().lock();
    }
}

}  // namespace svcreg
