#include "ChannelRoom.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "LockHolder.h"
#include "RuntimeDirectory.h"
#include "UnixSocket.h"

namespace svcreg {

namespace {

struct Room {
    int folder;
    std::string path;
    bool othersRemovable;  // see mayRemoveOthersIn
    uid_t user;
    const std::function<void(const std::string&)>& removed;
};

// What the caller could remove itself, in its own folder; or what only a member of the caller's
// group could have put in root's sticky folder that nobody else may write.
bool mayRemoveOthersIn(const struct stat& folder) {
    if (getuid() == 0 || folder.st_uid == getuid()) return true;
    return folder.st_uid == 0 && (folder.st_mode & S_ISVTX) != 0 &&
           (folder.st_mode & S_IWOTH) == 0 && folder.st_gid == getgid();
}

bool sameFile(const struct stat& one, const struct stat& other) {
    return one.st_dev == other.st_dev && one.st_ino == other.st_ino;
}

std::string ownerOf(const struct stat& status) {
    return "uid " + std::to_string(status.st_uid);
}

// Removes name, the file of status, another user's, while it is still that file.
std::string removeOthers(const Room& room, const std::string& name, const struct stat& status) {
    const std::string path = room.path + "/" + name;
    if (!room.othersRemovable) {
        return "'" + path + "' of " + ownerOf(status) +
               " is in the way, in a folder that others than root and the caller's group may "
               "write";
    }
    struct stat now {};
    if (fstatat(room.folder, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 ||
        !sameFile(now, status)) {
        return "'" + path + "' keeps changing";
    }
    if (unlinkat(room.folder, name.c_str(), S_ISDIR(status.st_mode) ? AT_REMOVEDIR : 0) != 0) {
        return "cannot remove '" + path + "' of " + ownerOf(status) + ": " + std::strerror(errno);
    }
    return std::string();
}

// Removes name, the file of status, unless it is the user's or root's.
std::string removeStray(const Room& room, const std::string& name, const struct stat& status) {
    if (status.st_uid == room.user || status.st_uid == 0) return std::string();
    std::string problem = removeOthers(room, name, status);
    if (problem.empty()) {
        room.removed("removed '" + room.path + "/" + name + "' of " + ownerOf(status) +
                     ": it was in the way of the channel, which no process held");
    }
    return problem;
}

// Makes a file of the user's at name, where there is none: an empty lock file, or a socket that
// nothing listens at, which the service's claim replaces as a stale one of its own.
bool placeUsers(const Room& room, const std::string& name, bool socket) {
    if (!socket) {
        const UniqueFd made(openat(room.folder, name.c_str(),
                                   O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        return made.valid() && fchown(made.get(), room.user, static_cast<gid_t>(-1)) == 0;
    }
    // Bound through the folder opened, never its path again: whoever may write the folder's
    // parent could put another folder in its place meanwhile.
    std::string error;
    return listenAt("/proc/self/fd/" + std::to_string(room.folder) + "/" + name, error).valid() &&
           fchownat(room.folder, name.c_str(), room.user, static_cast<gid_t>(-1),
                    AT_SYMLINK_NOFOLLOW) == 0;
}

// Puts a file of the user's at name in place of another user's: a few tries, as that user may
// put one there again in the moment between.
std::string replaceWithUsers(const Room& room, const std::string& name, bool socket) {
    constexpr int kMostTries = 8;
    for (int attempt = 0; attempt < kMostTries; ++attempt) {
        struct stat status {};
        if (fstatat(room.folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0) {
            if (status.st_uid == room.user || status.st_uid == 0) return std::string();
            std::string problem = removeOthers(room, name, status);
            if (!problem.empty()) return problem;
        }
        if (placeUsers(room, name, socket)) return std::string();
    }
    return "'" + room.path + "/" + name + "' keeps coming back";
}

std::string lockFileName(const Room& room, const std::string& channel) {
    return RuntimeDirectory(room.path).lockPath(channel).substr(room.path.size() + 1);
}

// A live process of another user than root holds the channel, or listens at its socket: a
// declared channel is its service's. Its files go (the process keeps what it has open, which
// nobody reaches any more), and files of the user's take their place, which no other user may
// remove from the sticky folder nor open, and which the service claims as its own.
std::string takeChannelBack(const Room& room, const std::string& channel, pid_t holder,
                            uid_t holders) {
    if (holders == 0) return channelHeldBy(channel, holder, holders);
    for (const auto& [name, socket] :
         {std::pair(lockFileName(room, channel), false), std::pair(channel, true)}) {
        std::string problem = replaceWithUsers(room, name, socket);
        if (!problem.empty()) return problem;
    }
    const std::string process = holder > 0 ? "pid " + std::to_string(holder) : "a process";
    room.removed("took the channel '" + channel + "' back from " + process + " of uid " +
                 std::to_string(holders) + ": it is the declared service's");
    return std::string();
}

// The channel's lock file, opened (only a regular file: a FIFO or a device is never opened) and
// locked into lock; served tells that a process holds it, and then nothing is removed.
std::string clearLockFile(const Room& room, const std::string& channel, UniqueFd& lock,
                          bool& served) {
    const std::string name = lockFileName(room, channel);
    struct stat status {};
    if (fstatat(room.folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) return std::string();
    if (S_ISREG(status.st_mode)) {
        lock = UniqueFd(
            openat(room.folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (!lock.valid()) {
            return "cannot open '" + room.path + "/" + name + "': " + std::strerror(errno);
        }
        struct stat opened {};
        if (fstat(lock.get(), &opened) != 0 || !sameFile(opened, status)) {
            return "'" + room.path + "/" + name + "' keeps changing";
        }
        if (flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
            served = true;
            const pid_t holder = flockHolder(status.st_dev, status.st_ino);
            const uid_t user = holder > 0 ? lockHoldersUser(holder, status.st_uid) : room.user;
            const bool another = user != room.user && user != static_cast<uid_t>(-1);
            return another ? takeChannelBack(room, channel, holder, user) : std::string();
        }
    }
    return removeStray(room, name, status);
}

// The channel's socket; one that something listens at is that process's claim.
std::string clearSocket(const Room& room, const std::string& channel) {
    struct stat status {};
    if (fstatat(room.folder, channel.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 ||
        status.st_uid == room.user || status.st_uid == 0) {
        return std::string();
    }
    UniqueFd probe;
    const ConnectResult listened = S_ISSOCK(status.st_mode)
                                       ? connectTo(room.path + "/" + channel, probe)
                                       : ConnectResult::Gone;
    ucred peer{};
    socklen_t length = sizeof peer;
    if (listened == ConnectResult::Connected &&
        getsockopt(probe.get(), SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0) {
        return takeChannelBack(room, channel, peer.pid, peer.uid);
    }
    if (listened == ConnectResult::Busy) return takeChannelBack(room, channel, 0, status.st_uid);
    return removeStray(room, channel, status);
}

}  // namespace

std::string makeRoomForChannel(const std::string& folder, const std::string& channel, uid_t user,
                               const std::function<void(const std::string&)>& removed) {
    const UniqueFd opened(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat status {};
    if (!opened.valid() || fstat(opened.get(), &status) != 0) return std::string();
    const Room room{opened.get(), folder, mayRemoveOthersIn(status), user, removed};
    UniqueFd lock;
    bool served = false;
    std::string problem = clearLockFile(room, channel, lock, served);
    if (problem.empty() && !served) problem = clearSocket(room, channel);
    return problem;
}

}  // namespace svcreg
