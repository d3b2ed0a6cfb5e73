#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "GenerationPage.h"
#include "Mutex.h"
#include "ServiceRegistry/PeerCredentials.h"
#include "TableSnapshot.h"

namespace svcreg {

// The registry's table as the daemon shares it: a snapshot mapped read-only, and the page whose
// generation says whether it is still the table. A lookup reads the snapshot with no system
// call and no lock while the generation stands; once it moves on (a change was made), the next
// lookup asks the daemon for the new snapshot first, so it sees every change acknowledged before
// it began, to anyone. Where the daemon shares nothing (it is older, stopped, or not trusted),
// read says so, and asks again at most once a second.
//
// Threads: any number read at once; a snapshot is unmapped once no reader is inside it.
class LocalTable {
public:
    using Trust = std::function<bool(const PeerCredentials&)>;

    // socketPath is the registry's socket, channel its name; trusted judges the daemon.
    LocalTable(std::string socketPath, std::string channel, Trust trusted,
               std::chrono::milliseconds timeout);
    ~LocalTable();
    LocalTable(const LocalTable&) = delete;
    LocalTable& operator=(const LocalTable&) = delete;

    // Runs read on the current snapshot; false, without running it, when there is none.
    template <typename Read>
    bool read(Read&& read) {
        const Reading reading(*this);
        if (reading.mapping == nullptr) return false;
        read(viewOf(*reading.mapping));
        return true;
    }

    // Sleeps while the generation is seen, up to timeout, or until wakeWaiters; false, at
    // once, when no page is mapped. Never waits for a fetch under way.
    bool waitWhile(std::uint32_t seen, std::chrono::nanoseconds timeout);
    // Ends the sleeps of waitWhile under way (everyone's sleeping on the page wakes and looks).
    // Never waits for a fetch under way.
    void wakeWaiters();

private:
    struct PageMapping;
    struct Mapping;
    // Holds one reader inside the current snapshot, fetching a new one first when it is stale.
    struct Reading {
        explicit Reading(LocalTable& table) : table(table), mapping(table.enter()) {}
        ~Reading() {
            if (mapping != nullptr) table.readers.fetch_sub(1);
        }
        Reading(const Reading&) = delete;
        Reading& operator=(const Reading&) = delete;

        LocalTable& table;
        const Mapping* mapping;
    };

    static const TableSnapshotView& viewOf(const Mapping& mapping);
    // The current mapping, with a reader counted in it; null, counting none, without one.
    const Mapping* enter();
    static bool isCurrent(const Mapping& mapping);
    // Fetches and maps the daemon's snapshot; false when it shares none.
    bool refresh();
    std::unique_ptr<Mapping> fetch() TS_REQUIRES(refreshing);
    // The page in descriptor, mapped once for as long as the table lasts; null when it is none.
    const GenerationPage* pageIn(int descriptor) TS_REQUIRES(refreshing);
    // Unmaps the retired snapshots while nobody reads.
    void reclaim() TS_REQUIRES(refreshing);

    const std::string socketPath;
    const std::string channel;
    const Trust trusted;
    const std::chrono::milliseconds timeout;

    std::atomic<const Mapping*> current{nullptr};
    std::atomic<std::size_t> readers{0};
    // The page of the current snapshot; pages stay mapped (one per daemon's page file, which a
    // restarted daemon uses again), so waiting and waking need no lock.
    std::atomic<const GenerationPage*> lastPage{nullptr};

    Mutex refreshing;  // one fetch at a time; guards what follows
    std::vector<std::unique_ptr<const Mapping>> retired TS_GUARDED_BY(refreshing);
    std::vector<std::unique_ptr<const PageMapping>> pages TS_GUARDED_BY(refreshing);
    std::chrono::steady_clock::time_point retryAfter TS_GUARDED_BY(refreshing);
};

}  // namespace svcreg
