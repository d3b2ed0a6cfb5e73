#include "StaleFiles.h"

#include <dirent.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fcntl.h>
#include <memory>
#include <string>
#include <vector>

#include "FileIdentity.h"
#include "UnixSocket.h"

namespace svcreg {

namespace {

constexpr char kLockSuffix[] = ".lock";

// The channels whose lock files are in the folder: ".<channel>.lock".
std::vector<std::string> channelsWithLockFiles(const std::string& folder) {
    std::vector<std::string> channels;
    const std::unique_ptr<DIR, int (*)(DIR*)> listing(opendir(folder.c_str()), closedir);
    if (listing == nullptr) return channels;
    const std::string suffix = kLockSuffix;
    while (const dirent* entry = readdir(listing.get())) {
        const std::string name = entry->d_name;
        if (name.size() <= suffix.size() + 1 || name[0] != '.' ||
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
            continue;
        }
        channels.push_back(name.substr(1, name.size() - suffix.size() - 1));
    }
    return channels;
}

bool isSocket(const std::string& path) {
    struct stat status {};
    return lstat(path.c_str(), &status) == 0 && S_ISSOCK(status.st_mode);
}

bool clearIfStale(const RuntimeDirectory& directory, const std::string& channel) {
    const std::string lockPath = directory.lockPath(channel);
    const UniqueFd lock(open(lockPath.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!lock.valid() || flock(lock.get(), LOCK_EX | LOCK_NB) != 0) return false;
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
    for (const std::string& channel : channelsWithLockFiles(directory.path())) {
        if (directory.isValidChannel(channel) && clearIfStale(directory, channel)) ++cleared;
    }
    return cleared;
}

}  // namespace svcreg
