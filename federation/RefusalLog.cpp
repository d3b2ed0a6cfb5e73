#include "RefusalLog.h"

#include <chrono>
#include <utility>

#include "LogCall.h"

namespace {
// Peers are few; past this many the names are ones that came and went.
constexpr std::size_t kPeersRemembered = 1024;
}  // namespace

void RefusalLog::refused(const std::string& peer, const std::string& what,
                         const std::string& source) {
    if (logged.size() >= kPeersRemembered) logged.clear();
    const std::int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now().time_since_epoch())
                                 .count();
    Logged& last = logged[source.empty() ? peer : source];
    if (last.lastMs != 0 && now - last.lastMs < 1000) {
        ++last.held;
        return;
    }
    last.lastMs = now;
    LOG_FAILURE("federation", "federation/RefusalLog.cpp",
                "Refused %s, from %s (%zu more refused before)", what.c_str(), peer.c_str(),
                std::exchange(last.held, 0));
}
