// The worker's order: tasks asked for by several owners while one runs.
#include "SerialWorker.h"

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

using namespace svcreg;

namespace {

// Owner 1 asks for many tasks at once, yet owners 2 and 3 each wait for one of them only: owners
// take turns, one task each. A key asked for again while its task waits, by anyone, is not queued
// again. All are asked while the worker's first task runs, so the order is the worker's alone.
TEST(SerialWorkerTest, OwnersTakeTurnsOneTaskEach) {
    const std::vector<std::pair<uid_t, std::string>> asks{
        {1, "a1"}, {1, "a2"}, {1, "a3"}, {2, "b1"}, {1, "a1"}, {2, "a2"}, {3, "c1"}, {2, "b2"}};
    const std::vector<std::string> order{"a1", "b1", "c1", "a2", "b2", "a3"};

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> ran;
    std::promise<void> started, release;
    std::shared_future<void> released = release.get_future();
    SerialWorker worker;
    worker.ask(0, "first", [&] {
        started.set_value();
        released.wait();
    });
    started.get_future().wait();
    for (const auto& [owner, key] : asks) {
        worker.ask(owner, key, [&, key = key] {
            std::lock_guard<std::mutex> hold(mutex);
            ran.push_back(key);
            changed.notify_one();
        });
    }
    release.set_value();
    std::unique_lock<std::mutex> hold(mutex);
    changed.wait_for(hold, std::chrono::seconds(30), [&] { return ran.size() == order.size(); });
    EXPECT_EQ(ran, order);
}

}  // namespace
