#include "LogLimiter.h"

#include <map>
#include <utility>

#include "HostLog.h"
#include "Mutex.h"

namespace svcreg {

namespace {

// More kinds and peers than this are not kept: lines about others are held back until the
// intervals of those kept are over, so that nobody can make the count itself big, nor reset
// it for everyone. A window whose interval is over then goes, held lines or not (their count is
// not told): one kept for its held lines alone would be kept for good, and enough of them would
// hold back every line about anyone new.
constexpr std::size_t kMostKept = 4096;

struct Window {
    std::chrono::steady_clock::time_point begun;
    std::size_t logged = 0;
    std::size_t held = 0;
};

struct Limits {
    Mutex mutex;
    std::size_t lines TS_GUARDED_BY(mutex) = 10;
    std::chrono::seconds interval TS_GUARDED_BY(mutex){30};
    std::map<std::pair<const char*, std::string>, Window> windows TS_GUARDED_BY(mutex);
};

Limits& limits() {
    static Limits shared;
    return shared;
}

}  // namespace

void LogLimiter::configure(std::size_t lines, std::chrono::seconds interval) {
    Limits& shared = limits();
    MutexLock hold(shared.mutex);
    shared.lines = lines;
    shared.interval = interval;
}

bool LogLimiter::admits(const char* kind, const std::string& who) {
    std::size_t held = 0;
    long long seconds = 0;
    if (!admitsQuietly(kind, who, held, seconds)) return false;
    if (held != 0) {
        HOST_FAILURE("%zu more lines like the next about %s were not logged in %lld s", held,
                     who.c_str(), seconds);
    }
    return true;
}

bool LogLimiter::admitsQuietly(const char* kind, const std::string& who, std::size_t& heldLines,
                               long long& heldSeconds) {
    const auto now = std::chrono::steady_clock::now();
    heldLines = 0;
    heldSeconds = 0;
    Limits& shared = limits();
    MutexLock hold(shared.mutex);
    if (shared.windows.size() >= kMostKept) {
        for (auto kept = shared.windows.begin(); kept != shared.windows.end();) {
            const bool over = now - kept->second.begun >= shared.interval;
            kept = over ? shared.windows.erase(kept) : std::next(kept);
        }
        if (shared.windows.size() >= kMostKept && shared.windows.count({kind, who}) == 0) {
            return false;
        }
    }
    Window& window = shared.windows[{kind, who}];
    if (window.logged == 0 || now - window.begun >= shared.interval) {
        heldLines = window.held;
        heldSeconds = std::chrono::duration_cast<std::chrono::seconds>(now - window.begun).count();
        window = Window{now, 0, 0};
    }
    if (window.logged >= shared.lines) {
        ++window.held;
        heldLines = 0;
        return false;
    }
    ++window.logged;
    return true;
}

}  // namespace svcreg
