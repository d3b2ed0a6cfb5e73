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

ClientStatus WatchReconnector::watchBy(std::chrono::steady_clock::time_point deadline,
                                       bool interruptible) {
    std::chrono::milliseconds pause = kFirstPauseBetweenTries;
    while (true) {
        const ClientStatus status = watch.requestWatch();
        const bool mayComeYet = status == ClientStatus::Unreachable ||
                                status == ClientStatus::NoReply ||
                                status == ClientStatus::ConnectionLost;
        const auto now = std::chrono::steady_clock::now();
        if (!mayComeYet || now >= deadline) return status;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
        if (!watch.pauseFor(std::min(pause, left), interruptible)) return ClientStatus::Interrupted;
        pause = std::min(pause * 2, kLongestPauseBetweenTries);
    }
}

void WatchReconnector::rewatchWhenLost() {
    while (watch.awaitLoss()) {
        const ClientStatus status = watchBy(std::chrono::steady_clock::time_point::max(), false);
        if (status == ClientStatus::Done) watch.restarted();
    }
}

}  // namespace svcreg
