#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "Mutex.h"
#include "ServiceRegistry/RemoteDevices.h"

// This device's public entries changed, or it took creators, since the bridge last wrote them:
// the registry calls in under its lock, so this only notes and wakes the bridge's thread.
// Changes of one entry collapse into its last (others see only the state of each entry), which
// bounds what waits by the entries that changed since the last write.
class LocalEntryQueue final : public svcreg::RemoteDevices::LocalEntries {
public:
    // An entry of this device: its interface, channel and service id.
    using Key = std::tuple<std::string, std::string, std::int64_t>;
    // Each changed entry, true when it is there now.
    using Changes = std::map<Key, bool>;

    // wake is called after each change, with no lock held by this queue; it must not block.
    explicit LocalEntryQueue(std::function<void()> wake) : wake(std::move(wake)) {}
    ~LocalEntryQueue() = default;

    void added(const std::vector<svcreg::ServiceRecord>& entries) override;
    void removed(const std::vector<svcreg::ServiceRecord>& entries) override;
    void creatorAdded(const svcreg::RemoteCreator& creator) override;

    // The changes since the last call, and the creators taken since then, in their order; and
    // how many of either were lost since then, past the bound.
    Changes take(std::vector<svcreg::RemoteCreator>& creators, std::size_t& lost);

private:
    void note(const std::vector<svcreg::ServiceRecord>& entries, bool present);

    const std::function<void()> wake;
    svcreg::Mutex mutex;  // guards the changes; held only to note or take them
    Changes pending TS_GUARDED_BY(mutex);
    std::vector<svcreg::RemoteCreator> pendingCreators TS_GUARDED_BY(mutex);
    std::size_t lostChanges TS_GUARDED_BY(mutex) = 0;
};
