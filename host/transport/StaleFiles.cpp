#include "StaleFiles.h"

#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fcntl.h>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "FileIdentity.h"
#include "HostLog.h"
#include "Mutex.h"
#include "UnixSocket.h"

namespace svcreg {

namespace {

bool isSocket(const std::string& path) {
    struct stat status {};
    return lstat(path.c_str(), &status) == 0 && S_ISSOCK(status.st_mode);
}

// True the first time the file of status is skipped: a file put in the way is logged once, not
// at every sweep. More are forgotten at once than anyone could make matter.
bool firstTimeSkipped(const struct stat& status) {
    static Mutex mutex;
    static std::set<std::pair<dev_t, ino_t>> skipped;
    MutexLock hold(mutex);
    if (skipped.size() >= 4096) skipped.clear();
    return skipped.emplace(status.st_dev, status.st_ino).second;
}

// A lock file is opened without waiting and used only when it is a regular file: anything
// else put at its name (a FIFO, a device) is left alone, and said once, naming its owner, within
// the lines about that user: one who plants thousands cannot fill the log at every sweep.
bool clearIfStale(const RuntimeDirectory& directory, const std::string& channel) {
    const std::string lockPath = directory.lockPath(channel);
    const UniqueFd lock(open(lockPath.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat status {};
    if (!lock.valid() || fstat(lock.get(), &status) != 0) return false;
    if (!S_ISREG(status.st_mode)) {
        if (firstTimeSkipped(status)) {
            HOST_PEER_FAILURE(LogLimiter::aboutUser(status.st_uid),
                              "Skipped '%s' of uid %ld in the sweep of stale files: not a "
                              "regular file",
                              lockPath.c_str(), static_cast<long>(status.st_uid));
        }
        return false;
    }
    if (flock(lock.get(), LOCK_EX | LOCK_NB) != 0) return false;
    if (FileIdentity::of(lock.get()) != FileIdentity::at(lockPath)) return false;
    const std::string socketPath = directory.socketPath(channel);
    UniqueFd probe;
    if (isSocket(socketPath) && connectTo(socketPath, probe) == ConnectResult::Gone) {
        unlink(socketPath.c_str());
    }
    unlink(lockPath.c_str());
    return true;
}

}  // namespace

std::size_t removeStaleFiles(const RuntimeDirectory& directory) {
    std::size_t cleared = 0;
    const std::vector<std::string> channels =
        directory.channelsWithLockFiles().value_or(std::vector<std::string>{});
    for (const std::string& channel : channels) {
        if (directory.isValidChannel(channel) && clearIfStale(directory, channel)) ++cleared;
    }
    return cleared;
}

}  // namespace svcreg
