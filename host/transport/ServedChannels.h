#pragma once

#include <string>
#include <unordered_set>

#include "Mutex.h"
#include "RuntimeDirectory.h"
#include "UnixSocket.h"

namespace svcreg {

// Which channels of the runtime directory have a lock file, so that a process may serve them.
// The names are kept from the directory's inotify events: a channel known to have one costs no
// system call, and one not known costs a read of the event queue at most once per batch of
// bytes its thread has received (a batch of many requests shares it). A lock file made before the
// bytes that name its channel were sent is queued before they arrive, so that read sees it. Where
// the events cannot be had (no inotify, the folder gone, more lock files than are kept, events
// lost to an overflow) each question is an lstat from then on.
class ServedChannels {
public:
    explicit ServedChannels(const RuntimeDirectory& directory);

    // Whether channel's lock file is in the folder now, as far as this thread can have heard.
    bool mayBeServed(const std::string& channel);

    // The calling thread has just received bytes: its next miss reads the event queue.
    static void received();

private:
    enum class Mode { Unstarted, Kept, Given };

    bool startKeeping() TS_REQUIRES(mutex);
    void readEvents() TS_REQUIRES(mutex);
    void apply(unsigned mask, const char* name) TS_REQUIRES(mutex);
    void rescan() TS_REQUIRES(mutex);
    void giveUp(const char* why) TS_REQUIRES(mutex);
    bool hasLockFile(const std::string& channel) const;

    const RuntimeDirectory& directory;
    Mutex mutex;
    Mode mode TS_GUARDED_BY(mutex) = Mode::Unstarted;
    UniqueFd events TS_GUARDED_BY(mutex);
    std::unordered_set<std::string> channels TS_GUARDED_BY(mutex);
};

}  // namespace svcreg
