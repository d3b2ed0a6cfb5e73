#include "WatchReconnector.h"

#include <algorithm>

#include "RegistryWatch.h"

namespace svcreg {

namespace {

constexpr std::chrono::milliseconds kFirstPauseBetweenTries{100};
constexpr std::chrono::milliseconds kLongestPauseBetweenTries{2000};

}  // namespace

WatchReconnector::WatchReconnector(RegistryWatch& watch) : watch(watch) {}

WatchReconnector::~WatchReconnector() {
    stop();
}

void WatchReconnector::start() {
    rewatcher = std::thread([this] { rewatchWhenLost(); });
}

void WatchReconnector::stop() {
    watch.close();
    if (rewatcher.joinable()) rewatcher.join();
}

Outcome WatchReconnector::watchBy(std::chrono::steady_clock::time_point deadline,
                                  bool interruptible) {
    std::chrono::milliseconds pause = kFirstPauseBetweenTries;
    while (true) {
        const Outcome status = watch.requestWatch(deadline);
        const bool mayComeYet = status == Status::Unreachable || status == Status::NoReply ||
                                status == Status::ConnectionLost;
        const auto now = std::chrono::steady_clock::now();
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
        // Too little time left for another try to be worth its own wait for an answer.
        if (!mayComeYet || left < kFirstPauseBetweenTries) return status;
        if (!watch.pauseFor(std::min(pause, left), interruptible)) return Status::Interrupted;
        pause = std::min(pause * 2, kLongestPauseBetweenTries);
    }
}

void WatchReconnector::rewatchWhenLost() {
    while (watch.awaitLoss()) {
        const Outcome status = watchBy(std::chrono::steady_clock::time_point::max(), false);
        if (status == Status::Done) watch.restarted();
    }
}

}  // namespace svcreg
