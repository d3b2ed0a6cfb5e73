#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "DeclaredState.h"
#include "Mutex.h"
#include "ServiceRegistry/HostFramework.h"
#include "ServiceRegistry/PeerCredentials.h"
#include "SharedMemoryRequest.h"
#include "SharedTableFile.h"
#include "TableSnapshot.h"

namespace svcreg {

struct FileIdentity;

// The registry's table as the daemon shares it (see SharedTableFile.h), mapped read-only. A
// lookup reads the current half with no system call and no lock, and keeps what it read only
// if the word still stands afterwards; else it reads again. When the current half holds an
// older generation than the word's (a change was made since it was written), it asks the daemon
// to write the current one first: so a lookup sees every change acknowledged, to anyone, before
// it began. Where the daemon shares nothing (it is older, stopped, or not trusted), read says
// so, and the table asks again at most once a second. A table is read only while the line its
// daemon answered on is there: the framework's watch of peers' ends tells when the daemon hangs
// it up, as it does when it ends, and a line lost any other way (a question on it went
// unanswered, say) drops the table at once, until a daemon shares one again on a new line.
//
// Threads: any number read at once. A mapping stays until the table is destroyed: the file is
// mapped again only when it grows, or when a daemon shares another one.
class LocalTable {
public:
    using Trust = SharedMemoryLine::Trust;

    // socketPath is the registry's socket, channel its name; trusted judges the daemon; the
    // watch of framework, started before the table is read, tells the line's hang-up.
    LocalTable(std::string socketPath, std::string channel, Trust trusted,
               std::chrono::milliseconds timeout, HostFramework& framework);
    ~LocalTable();
    LocalTable(const LocalTable&) = delete;
    LocalTable& operator=(const LocalTable&) = delete;

    using Deadline = SharedMemoryLine::Deadline;

    // Runs read on the current snapshot, again when the daemon wrote over what it read, until
    // it has read a snapshot whole: read must start afresh each time. False, having run read
    // on nothing it may keep, when there is no snapshot to be had. A request to the daemon for
    // the snapshot ends by deadline, when that comes before its timeout.
    template <typename Read>
    bool read(Read&& read, Deadline deadline = Deadline::max()) {
        for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
            const Half half = currentHalf(deadline);
            if (half.mapping == nullptr) return false;
            read(half.view);
            if (stillCurrent(half)) return true;
        }
        return false;
    }

    // The state of the declared service that offers ifc (see DeclaredState.h), as the current
    // snapshot marks it; nullopt when ifc is not declared, or there is no snapshot to be had. A
    // request for the snapshot ends by deadline, as read's.
    std::optional<DeclaredState> declaredState(std::string_view ifc,
                                               Deadline deadline = Deadline::max());

    // Sleeps while the table's generation is seen, up to timeout, or until woken (wakeWaiters,
    // or any process that maps the file); false, at once, when nothing is mapped. Never waits
    // for a request under way. A wake that changed nothing is followed by a pause before the
    // return, so that wakes as fast as a member can make them cost a waiter one look a pause;
    // and no sleep on the word is longer than a few milliseconds, so that a member who moves the
    // sleepers to another word (FUTEX_CMP_REQUEUE) delays them by no more.
    bool waitWhile(std::uint32_t seen, std::chrono::nanoseconds timeout);
    // Ends the sleeps of waitWhile under way (everyone's sleeping on the file wakes and looks).
    void wakeWaiters();

private:
    // A daemon that changes the table faster than a reader reads it makes the reader go to the
    // socket after this many tries.
    static constexpr int kReadAttempts = 8;

    struct Mapping;
    struct Half {
        const Mapping* mapping = nullptr;  // null: no snapshot
        std::uint32_t word = 0;            // the page's word it was found under
        TableSnapshotView view;
    };

    // The current half, holding the current generation; asks the daemon for it when needed.
    Half currentHalf(Deadline deadline);
    // Whether nothing was written over half since it was found.
    static bool stillCurrent(const Half& half);
    // Whether the daemon that shared the table has hung up the line it answered on: it has
    // ended, and the table is read no more until a daemon shares one again (its successor may
    // share another file, or none). An atomic load while it has not.
    bool lineHungUp();
    // Watches the new line's hang-up, in place of the last one's; false when it cannot.
    bool watchLine() TS_REQUIRES(refreshing);
    // Hangs up the line, and reads no table until a daemon shares one on a new line.
    void dropLine() TS_REQUIRES(refreshing);
    // Asks the daemon for the current snapshot, seen stale under word in mapping (null: none
    // yet), by deadline: true when the caller should look again.
    bool refresh(const Mapping* mapping, std::uint32_t word, Deadline deadline);
    // Maps the file again, larger, for halves of capacity.
    bool remap(const Mapping* mapping, std::uint64_t capacity);
    // The mapping kept of file, if any, to be current again.
    const Mapping* keptOf(const FileIdentity& file) const TS_REQUIRES(refreshing);
    void keep(std::unique_ptr<Mapping> mapping) TS_REQUIRES(refreshing);

    std::atomic<const Mapping*> current{nullptr};
    HostFramework& framework;
    // The lines to the daemon are numbered from 1: the current one's, 0 for none, and the last
    // one its watch told hung up.
    std::atomic<std::uint64_t> lineNumber{0};
    std::atomic<std::uint64_t> hungUpLine{0};

    Mutex refreshing;  // one request, or mapping, at a time; guards what follows
    SharedMemoryLine line TS_GUARDED_BY(refreshing);
    std::vector<std::unique_ptr<const Mapping>> mappings TS_GUARDED_BY(refreshing);
    std::chrono::steady_clock::time_point retryAfter TS_GUARDED_BY(refreshing);
    std::uint64_t linesMade TS_GUARDED_BY(refreshing) = 0;
    PeerWatchId lineWatch TS_GUARDED_BY(refreshing) = 0;
};

}  // namespace svcreg
