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

// Removes name, the file of status, unless it is the user's or root's.
std::string removeStray(const Room& room, const std::string& name, const struct stat& status) {
    if (status.st_uid == room.user || status.st_uid == 0) return std::string();
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
    room.removed("removed '" + path + "' of " + ownerOf(status) +
                 ": it was in the way of the channel, which no process held");
    return std::string();
}

// The channel's lock file, opened (only a regular file: a FIFO or a device is never opened) and
// locked into lock; served tells that a process holds it, and then nothing is removed.
std::string clearLockFile(const Room& room, const std::string& channel, UniqueFd& lock,
                          bool& served) {
    const std::string name =
        RuntimeDirectory(room.path).lockPath(channel).substr(room.path.size() + 1);
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
            return another ? channelHeldBy(channel, holder, user) : std::string();
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
        return channelHeldBy(channel, peer.pid, peer.uid);
    }
    if (listened == ConnectResult::Connected || listened == ConnectResult::Busy) {
        return "something of " + ownerOf(status) + " listens at '" + room.path + "/" + channel +
               "'";
    }
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
