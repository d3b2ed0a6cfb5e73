#include "EventLoops.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <exception>

#include "HostLog.h"

namespace svcreg {

namespace {

constexpr int kMaxEvents = 16;

thread_local bool isLoopThread = false;

// Nothing that goes wrong in a task, running out of memory included, may end the process.
void runGuarded(const std::function<void()>& task) {
    try {
        task();
    } catch (const std::exception& failure) {
        HOST_FAILURE("%s in a task of the transport's threads: the task is abandoned",
                     failure.what());
    }
}

bool addToSet(int set, int fd, unsigned events) {
    epoll_event event{};
    event.events = events;
    event.data.fd = fd;
    return epoll_ctl(set, EPOLL_CTL_ADD, fd, &event) == 0;
}

}  // namespace

EventLoops::EventLoops(unsigned threads, ReadyHandler onReady, std::function<void()> onTick)
    : threadCount(std::max(threads, 1u)), onReady(std::move(onReady)), onTick(std::move(onTick)) {}

EventLoops::~EventLoops() {
    stop();
}

bool EventLoops::open(std::string& error) {
    if (!sets.empty()) return true;
    wakeEvent = UniqueFd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!wakeEvent.valid()) {
        error = std::string("cannot create an event descriptor: ") + std::strerror(errno);
        return false;
    }
    std::vector<UniqueFd> made;
    for (unsigned i = 0; i < threadCount; ++i) {
        UniqueFd set(epoll_create1(EPOLL_CLOEXEC));
        if (!set.valid() || !addToSet(set.get(), wakeEvent.get(), EPOLLIN)) {
            error = std::string("cannot create an epoll set: ") + std::strerror(errno);
            return false;
        }
        made.push_back(std::move(set));
    }
    sets = std::move(made);
    MutexLock hold(mutex);
    loads.assign(threadCount, 0);
    return true;
}

void EventLoops::start() {
    nextTick = std::chrono::steady_clock::now() + kTickInterval;
    for (const UniqueFd& set : sets) {
        threads.emplace_back([this, set = set.get()] { loop(set); });
    }
}

void EventLoops::stop() {
    // Release, paired with the acquire loads in loop and runPostedTasks: a thread that sees the
    // stop sees what was done before it. Neither side has a store then a load of another atomic
    // to order, so no single total order (seq_cst) is needed.
    stopRequested.store(true, std::memory_order_release);
    if (wakeEvent.valid()) wake();
    for (std::thread& thread : threads) {
        if (thread.joinable()) thread.join();
    }
    threads.clear();
    MutexLock hold(mutex);
    tasks.clear();
}

int EventLoops::reserveQuietestSet() {
    MutexLock hold(mutex);
    if (loads.empty()) return -1;
    const auto quietest = std::min_element(loads.begin(), loads.end());
    ++*quietest;
    return sets[static_cast<std::size_t>(quietest - loads.begin())].get();
}

bool EventLoops::watch(int set, int fd, unsigned events) {
    return addToSet(set, fd, events);
}

void EventLoops::left(int set) {
    MutexLock hold(mutex);
    for (std::size_t i = 0; i < sets.size(); ++i) {
        if (sets[i].get() == set && loads[i] > 0) --loads[i];
    }
}

bool EventLoops::addToFirstSet(int fd, unsigned events) {
    return !sets.empty() && addToSet(sets.front().get(), fd, events);
}

void EventLoops::removeFromFirstSet(int fd) {
    if (!sets.empty()) epoll_ctl(sets.front().get(), EPOLL_CTL_DEL, fd, nullptr);
}

void EventLoops::post(std::function<void()> task) {
    {
        MutexLock hold(mutex);
        tasks.push_back(std::move(task));
    }
    wake();
}

bool EventLoops::onLoopThread() {
    return isLoopThread;
}

void EventLoops::wake() {
    const std::uint64_t one = 1;
    // Fails only when the counter is about to overflow: the threads are awake then anyway.
    [[maybe_unused]] const ssize_t written = write(wakeEvent.get(), &one, sizeof(one));
}

int EventLoops::waitTimeout(bool firstSet) {
    if (!firstSet) return -1;
    const auto now = std::chrono::steady_clock::now();
    if (now >= nextTick) {
        nextTick = now + kTickInterval;
        runGuarded(onTick);
    }
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(nextTick - now).count());
}

void EventLoops::loop(int set) {
    isLoopThread = true;
    const bool firstSet = set == sets.front().get();
    epoll_event events[kMaxEvents];
    for (;;) {
        const int count = epoll_wait(set, events, kMaxEvents, waitTimeout(firstSet));
        // The wake event stays set, so every thread sees this; acquire pairs with stop's store.
        if (stopRequested.load(std::memory_order_acquire)) return;
        for (int i = 0; i < count; ++i) {
            if (events[i].data.fd == wakeEvent.get()) {
                runPostedTasks();
            } else {
                onReady(events[i].data.fd, events[i].events);
            }
        }
    }
}

void EventLoops::runPostedTasks() {
    std::uint64_t value;
    if (read(wakeEvent.get(), &value, sizeof(value)) != sizeof(value)) return;  // taken already
    if (stopRequested.load(std::memory_order_acquire)) {  // pairs with stop's store
        wake();  // this read may have taken the stop's wake-up: pass it on
        return;
    }
    for (;;) {
        std::function<void()> task;
        {
            MutexLock hold(mutex);
            if (tasks.empty()) return;
            task = std::move(tasks.front());
            tasks.pop_front();
        }
        runGuarded(task);
    }
}

}  // namespace svcreg
