#include "LocalEntryQueue.h"

namespace {
// Far above the registry's own limit of entries, so reached only when the bridge's thread
// cannot write at all.
constexpr std::size_t kMostPending = 1 << 20;
}  // namespace

void LocalEntryQueue::note(const std::vector<svcreg::ServiceRecord>& entries, bool present) {
    {
        svcreg::MutexLock lock(mutex);
        for (const svcreg::ServiceRecord& entry : entries) {
            Key key{entry.ifc, entry.channel, entry.svcId};
            const auto known = pending.find(key);
            if (known != pending.end()) {
                known->second = present;
            } else if (pending.size() < kMostPending) {
                pending.emplace(std::move(key), present);
            } else {
                ++lostChanges;
            }
        }
    }
    wake();
}

void LocalEntryQueue::added(const std::vector<svcreg::ServiceRecord>& entries) {
    note(entries, true);
}

void LocalEntryQueue::removed(const std::vector<svcreg::ServiceRecord>& entries) {
    note(entries, false);
}

void LocalEntryQueue::creatorAdded(const svcreg::RemoteCreator& creator) {
    {
        svcreg::MutexLock lock(mutex);
        if (pendingCreators.size() < kMostPending) {
            pendingCreators.push_back(creator);
        } else {
            ++lostChanges;
        }
    }
    wake();
}

LocalEntryQueue::Changes LocalEntryQueue::take(std::vector<svcreg::RemoteCreator>& creators,
                                               std::size_t& lost) {
    svcreg::MutexLock lock(mutex);
    lost = lostChanges;
    lostChanges = 0;
    creators = std::exchange(pendingCreators, {});
    return std::exchange(pending, Changes());
}
