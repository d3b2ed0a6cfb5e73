#include "ServedChannels.h"

#include <limits.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "HostLog.h"

namespace svcreg {

namespace {

// More lock files than this and the names are no longer kept: anyone who may create files in
// the folder could otherwise make them take any amount of memory.
constexpr std::size_t kMostChannelsKept = 16384;

constexpr std::uint32_t kWatchedEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                         IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

// Whether this thread must read the event queue before it answers "no". A thread that receives
// bytes is told so, and need not read again until it receives more; any other thread always
// reads. Work a loop thread runs between receives (posted tasks) asks about no channel a peer
// named, so it may rely on the last read as well.
enum class QueueRead { Always, Due, Done };
thread_local QueueRead queueRead = QueueRead::Always;

}  // namespace

ServedChannels::ServedChannels(const RuntimeDirectory& directory) : directory(directory) {}

void ServedChannels::received() {
    queueRead = QueueRead::Due;
}

bool ServedChannels::mayBeServed(const std::string& channel) {
    {
        MutexLock hold(mutex);
        if (mode == Mode::Unstarted && !startKeeping()) mode = Mode::Given;
        if (mode == Mode::Kept) {
            if (channels.count(channel) != 0) return true;
            if (queueRead == QueueRead::Done) return false;
            readEvents();
            if (queueRead == QueueRead::Due) queueRead = QueueRead::Done;
            if (mode == Mode::Kept) return channels.count(channel) != 0;
        }
    }
    return hasLockFile(channel);
}

// The watch is in place before the folder is read, so that no change falls between the two.
bool ServedChannels::startKeeping() {
    events = UniqueFd(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!events.valid() ||
        inotify_add_watch(events.get(), directory.path().c_str(), kWatchedEvents) < 0) {
        HOST_TRACE(3, "Lock files of '%s' are looked for one by one: %s", directory.path().c_str(),
                   std::strerror(errno));
        events = UniqueFd();
        return false;
    }
    mode = Mode::Kept;
    rescan();
    return mode == Mode::Kept;
}

// Reads until a read comes back short of a full buffer: what was queued before this began is
// read then, and that is all a caller needs.
void ServedChannels::readEvents() {
    constexpr std::size_t kLargestEvent = sizeof(inotify_event) + NAME_MAX + 1;
    alignas(inotify_event) char buffer[16 * kLargestEvent];
    while (mode == Mode::Kept) {
        const ssize_t got = read(events.get(), buffer, sizeof(buffer));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && errno != EAGAIN) return giveUp("its events cannot be read");
        if (got <= 0) return;  // the queue is empty
        for (ssize_t at = 0; at < got && mode == Mode::Kept;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            apply(event->mask, event->len > 0 ? event->name : "");
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
        if (static_cast<std::size_t>(got) + kLargestEvent <= sizeof(buffer)) return;
    }
}

// Events are applied in the order they happened, so that each name ends as its last change
// left it, also after a rescan that some of them had already seen.
void ServedChannels::apply(unsigned mask, const char* name) {
    // Lost events are not read the folder again for: whoever can overflow the queue could make
    // every registration read a folder made as large as they like.
    if ((mask & IN_Q_OVERFLOW) != 0) return giveUp("its events overflowed");
    if ((mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT)) != 0) {
        return giveUp("the folder was removed or moved");
    }
    const std::optional<std::string> channel = RuntimeDirectory::channelOfLockFile(name);
    if (!channel) return;
    if ((mask & (IN_CREATE | IN_MOVED_TO)) == 0) {
        channels.erase(*channel);
    } else if (channels.size() < kMostChannelsKept || channels.count(*channel) != 0) {
        channels.insert(*channel);
    } else {
        giveUp("it holds too many lock files");
    }
}

void ServedChannels::rescan() {
    const std::optional<std::vector<std::string>> found = directory.channelsWithLockFiles();
    if (!found) return giveUp("it cannot be read");
    if (found->size() > kMostChannelsKept) return giveUp("it holds too many lock files");
    channels = std::unordered_set<std::string>(found->begin(), found->end());
}

void ServedChannels::giveUp(const char* why) {
    HOST_TRACE(3, "Lock files of '%s' are looked for one by one from now on: %s",
               directory.path().c_str(), why);
    mode = Mode::Given;
    events = UniqueFd();
    channels.clear();
}

bool ServedChannels::hasLockFile(const std::string& channel) const {
    struct stat status {};
    return lstat(directory.lockPath(channel).c_str(), &status) == 0;
}

}  // namespace svcreg
