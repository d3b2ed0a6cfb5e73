#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>

namespace svcreg {

// The generation of the registry's table, in one page of a file the daemon writes and every
// client maps read-only. generation goes up with every change lookups can see, before the change
// is acknowledged: a client whose snapshot of the table has another generation asks for the
// current one. serving is 0 once the daemon has stopped, and 1 again once one runs.
struct GenerationPage {
    static constexpr std::uint32_t kMagic = 0x53524750;  // "PGRS"
    static constexpr std::size_t kSize = 4096;

    std::uint32_t magic;
    std::atomic<std::uint32_t> generation;
    std::atomic<std::uint32_t> serving;

    // Wakes every process sleeping in waitWhile on this page.
    void wakeWaiters() const;
    // Sleeps until generation is no longer seen, a wakeWaiters, a signal or timeout; spurious
    // returns are allowed, so the caller looks again.
    void waitWhile(std::uint32_t seen, std::chrono::nanoseconds timeout) const;
};
static_assert(std::atomic<std::uint32_t>::is_always_lock_free, "the page is shared by processes");

}  // namespace svcreg
