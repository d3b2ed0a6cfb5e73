#include "ServiceRegistry/StopSignals.h"

#include <pthread.h>
#include <signal.h>

namespace svcreg {

namespace {

// Sent by the destructor to end the watching thread.
constexpr int kEndWatching = SIGUSR2;

sigset_t watchedSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, kEndWatching);
    return signals;
}

}  // namespace

StopSignals::StopSignals() {
    const sigset_t signals = watchedSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    watcher = std::thread([this, signals] {
        int signal = 0;
        while (sigwait(&signals, &signal) == 0 && signal != kEndWatching) {
            {
                // Under the lock, so that whenStopped returns only once the old hook has ended.
                std::lock_guard<std::mutex> lock(mutex);
                stopping = true;
                if (stopHook) stopHook();
            }
            changed.notify_all();
        }
    });
}

StopSignals::~StopSignals() {
    pthread_kill(watcher.native_handle(), kEndWatching);
    watcher.join();
}

bool StopSignals::waitUntil(std::chrono::steady_clock::time_point deadline,
                            const std::function<bool()>& done) {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait_until(lock, deadline, [&] { return stopping || done(); });
    return done();
}

void StopSignals::waitForStop() {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [this] { return stopping; });
}

void StopSignals::whenStopped(std::function<void()> hook) {
    std::lock_guard<std::mutex> lock(mutex);
    stopHook = std::move(hook);
}

void StopSignals::notify() {
    // Taking the lock orders the change before the waiter's next check.
    { std::lock_guard<std::mutex> lock(mutex); }
    changed.notify_all();
}

bool StopSignals::stopRequested() {
    std::lock_guard<std::mutex> lock(mutex);
    return stopping;
}

}  // namespace svcreg
