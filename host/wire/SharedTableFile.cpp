#include "SharedTableFile.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <ctime>

namespace svcreg {

namespace {

// The page is shared between processes: the futex is keyed by the file, not by the address
// space, so it is not FUTEX_PRIVATE_FLAG.
long futex(const std::atomic<std::uint32_t>& word, int operation, std::uint32_t value,
           const timespec* timeout) {
    return syscall(SYS_futex, reinterpret_cast<const std::uint32_t*>(&word), operation, value,
                   timeout, nullptr, 0);
}

}  // namespace

void SharedTableFile::Page::wakeWaiters() const {
    futex(word, FUTEX_WAKE, INT32_MAX, nullptr);
}

bool SharedTableFile::Page::waitWhile(std::uint32_t seen, std::chrono::nanoseconds timeout) const {
    if (timeout.count() <= 0) return false;
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(timeout);
    const timespec relative{static_cast<time_t>(seconds.count()),
                            static_cast<long>((timeout - seconds).count())};
    return futex(word, FUTEX_WAIT, seen, &relative) == 0;
}

}  // namespace svcreg
