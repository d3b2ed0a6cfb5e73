#pragma once

#include <chrono>
#include <thread>

#include "ServiceRegistry/RegistryClient.h"

namespace svcreg {

class RegistryWatch;

// Makes a watch of a registry that is not there, or does not answer, as soon as one is: a
// boot's services start in any order, and a registry restarts. Tries after 100 ms, then after
// twice as long each time, up to 2 s; and, on a thread of its own, watches again whenever a
// watch under way is lost, until stopped.
class WatchReconnector {
public:
    explicit WatchReconnector(RegistryWatch& watch);
    // Stops.
    ~WatchReconnector();
    WatchReconnector(const WatchReconnector&) = delete;
    WatchReconnector& operator=(const WatchReconnector&) = delete;

    void start();
    // Closes the watch, and returns once the thread has ended.
    void stop();

    // Asks for a watch until it is Done, fails for good or deadline passes; or, when
    // interruptible, until the watch is interrupted.
    Outcome watchBy(std::chrono::steady_clock::time_point deadline, bool interruptible);

private:
    void rewatchWhenLost();

    RegistryWatch& watch;
    std::thread rewatcher;
};

}  // namespace svcreg
