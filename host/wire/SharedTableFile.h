#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>

namespace svcreg {

// The file the daemon shares its table in, which it writes and every client maps read-only: a
// control page, then two halves of equal capacity, each holding a table snapshot (see
// TableSnapshot.h) or being written.
//
// The control page's word is the table's generation, shifted left by one, with the half that
// holds the current snapshot in its lowest bit. Every change lookups can see moves the
// generation on, before the change is acknowledged. A snapshot of the current generation is
// written when a client asks for one (a Descriptors request), into the other half, which then
// becomes the current one. A reader reads the word, then the current half, then the word again:
// while it stands, nothing wrote the half it read (only the half not current is written). A
// reader whose half holds another generation than the word's asks for the current snapshot.
//
// The file outlives a daemon that crashes: the next one opens it again and moves the generation
// on, and clients that map it read the new daemon's table. serving is 0 once the daemon has
// stopped. halfCapacity grows, with the file, when a snapshot no longer fits; a reader whose
// mapping is smaller maps the file again.
struct SharedTableFile {
    static constexpr std::uint32_t kMagic = 0x53525446;  // "FTRS"
    static constexpr std::size_t kPageSize = 4096;

    struct Page {
        std::uint32_t magic;
        std::atomic<std::uint32_t> word;
        std::atomic<std::uint32_t> serving;
        std::atomic<std::uint64_t> halfCapacity;

        // Wakes every process sleeping in waitWhile on this page.
        void wakeWaiters() const;
        // Sleeps until the word is no longer seen, a wake, a signal or timeout; spurious returns
        // are allowed, so the caller looks again. True when woken: by wakeWaiters, or by any
        // other process that maps the page, whether the word changed or not.
        bool waitWhile(std::uint32_t seen, std::chrono::nanoseconds timeout) const;
    };

    static std::uint32_t generationOf(std::uint32_t word) { return word >> 1; }
    static unsigned halfOf(std::uint32_t word) { return word & 1u; }
    static std::uint32_t wordOf(std::uint32_t generation, unsigned half) {
        return generation << 1 | (half & 1u);
    }
    static std::size_t fileSize(std::uint64_t halfCapacity) { return kPageSize + 2 * halfCapacity; }
    // Whether a file of size holds the page and two halves of halfCapacity; with no overflow,
    // whatever the page says.
    static bool holds(std::size_t size, std::uint64_t halfCapacity) {
        return size >= kPageSize && halfCapacity <= (size - kPageSize) / 2;
    }
    static std::size_t halfOffset(unsigned half, std::uint64_t halfCapacity) {
        return kPageSize + half * halfCapacity;
    }
};
static_assert(std::atomic<std::uint32_t>::is_always_lock_free &&
                  std::atomic<std::uint64_t>::is_always_lock_free,
              "the page is shared by processes");

}  // namespace svcreg
