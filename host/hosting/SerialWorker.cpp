#include "SerialWorker.h"

namespace svcreg {

SerialWorker::SerialWorker() : thread([this] { run(); }) {}

SerialWorker::~SerialWorker() {
    stop();
}

void SerialWorker::ask(const std::string& key, std::function<void()> task) {
    {
        MutexLock hold(mutex);
        if (stopping || !waiting.insert(key).second) return;
        queue.emplace_back(key, std::move(task));
    }
    asked.notify_one();
}

void SerialWorker::stop() {
    {
        MutexLock hold(mutex);
        stopping = true;
        queue.clear();
        waiting.clear();
    }
    asked.notify_one();
    if (thread.joinable()) thread.join();
}

// The key is free again once its task is taken: a task asked for while it runs runs again after.
void SerialWorker::run() {
    MutexLock hold(mutex);
    while (!stopping) {
        if (queue.empty()) {
            asked.wait(hold.native());
            continue;
        }
        std::function<void()> task = std::move(queue.front().second);
        waiting.erase(queue.front().first);
        queue.pop_front();
        hold.native().unlock();
        task();
        hold.native().lock();
    }
}

}  // namespace svcreg
