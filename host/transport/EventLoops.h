#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "Mutex.h"
#include "UnixSocket.h"

namespace svcreg {

// A few threads, each waiting on an epoll set of its own, and tasks posted to run on them. A
// descriptor belongs to one set, the one with the fewest when it is added, so that one thread
// handles everything that arrives on it, in order. The first thread also runs a tick about
// once a second.
class EventLoops {
public:
    // What a thread does with a descriptor its set reports ready.
    using ReadyHandler = std::function<void(int fd, unsigned events)>;
    static constexpr std::chrono::milliseconds kTickInterval{1000};

    EventLoops(unsigned threads, ReadyHandler onReady, std::function<void()> onTick);
    ~EventLoops();
    EventLoops(const EventLoops&) = delete;
    EventLoops& operator=(const EventLoops&) = delete;

    // Makes the epoll sets and the wake event, once; false, with the system's reason, when it
    // cannot. Nothing below works before.
    bool open(std::string& error);
    void start();
    // Ends the threads once each has finished what it handles; tasks not yet run are dropped.
    void stop();

    // The set with the fewest descriptors, counting one more in it; -1 before open.
    int reserveQuietestSet();
    // A descriptor counted by reserveQuietestSet has left the set.
    void left(int set);
    // False, with errno set, when the system refuses.
    bool watch(int set, int fd, unsigned events);
    // The first set, which also holds the listening sockets.
    bool addToFirstSet(int fd, unsigned events);
    void removeFromFirstSet(int fd);

    // Runs task on one of the threads.
    void post(std::function<void()> task);
    // True on these threads, where nothing may wait for a reply.
    static bool onLoopThread();

private:
    void loop(int set);
    // The first thread's wait: until the next tick at most.
    int waitTimeout(bool firstSet);
    void runPostedTasks();
    void wake();

    const unsigned threadCount;
    const ReadyHandler onReady;
    const std::function<void()> onTick;
    std::chrono::steady_clock::time_point nextTick;  // the first thread's
    std::vector<UniqueFd> sets;                      // made by open, unchanged after
    UniqueFd wakeEvent;                              // in every set: posted tasks, and stop
    std::atomic<bool> stopRequested{false};
    std::vector<std::thread> threads;

    Mutex mutex;  // guards tasks and loads; no system call and no task runs while it is held
    std::deque<std::function<void()>> tasks TS_GUARDED_BY(mutex);
    std::vector<std::size_t> loads TS_GUARDED_BY(mutex);  // descriptors in each set
};

}  // namespace svcreg
