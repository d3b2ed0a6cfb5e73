#pragma once

#include <algorithm>
#include <chrono>
#include <thread>

namespace svcreg {

// Makes attempt until it ends other than busy or deadline comes, pausing a little longer each
// time: a peer whose listen backlog or queue is full may well take the request a moment later.
// For callers that wait anyway, never on a transport thread.
template <typename Busy, typename Attempt>
auto retryWhileBusy(Busy busy, std::chrono::steady_clock::time_point deadline, Attempt attempt) {
    constexpr std::chrono::milliseconds kLongestPause{100};
    std::chrono::milliseconds pause{1};
    for (;;) {
        auto result = attempt();
        if (result != busy || std::chrono::steady_clock::now() + pause > deadline) return result;
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, kLongestPause);
    }
}

}  // namespace svcreg
