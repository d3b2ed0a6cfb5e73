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
                MutexLock lock(mutex);
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

void StopSignals::waitForStop() {
    MutexLock lock(mutex);
    while (!stopping) changed.wait(lock.native());
}

bool StopSignals::waitForStop(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    MutexLock lock(mutex);
    while (!stopping) {
        if (changed.wait_until(lock.native(), deadline) == std::cv_status::timeout) break;
    }
    return stopping;
}

void StopSignals::whenStopped(std::function<void()> hook) {
    MutexLock lock(mutex);
    stopHook = std::move(hook);
    if (stopping && stopHook) stopHook();
}

}  // namespace svcreg
