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
    gid_t group;
    const std::function<void(const std::string&)>& removed;
    // The process that held or listened at the files of another user's the channel is taken
    // back from ("pid 1234 of uid 1002", the files' owner); empty when none did.
    std::string heldBy = std::string();
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

bool isTheUsersOrRoots(const Room& room, const struct stat& status) {
    return status.st_uid == room.user || status.st_uid == 0;
}

std::string inTheWay(const Room& room, const std::string& name, const struct stat& status) {
    return "'" + room.path + "/" + name + "' of " + ownerOf(status) +
           " is in the way, in a folder that others than root and the caller's group may write";
}

// The socket made at name just now, opened without following a link: in a folder of the caller's,
// the caller may have put another file there since, which is then not this process's own, or
// has another name too (a link to a file of the caller's, which would then be given away).
UniqueFd madeSocket(const Room& room, const std::string& name) {
    UniqueFd node(openat(room.folder, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat status {};
    if (node.valid() && fstat(node.get(), &status) == 0 && S_ISSOCK(status.st_mode) &&
        status.st_uid == geteuid() && status.st_nlink == 1) {
        return node;
    }
    errno = EEXIST;
    return UniqueFd();
}

// A fresh file of type (a lock file, opened into made and locked; or a socket nobody listens at),
// the user's and for the user alone, under a name of its own in the folder.
std::string makeUsersFile(const Room& room, mode_t type, std::string& name, UniqueFd& made) {
    name = ".launch." + RuntimeDirectory::randomDigits();
    bool madeIt = false;
    if (S_ISREG(type)) {
        made = UniqueFd(openat(room.folder, name.c_str(),
                               O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        madeIt = made.valid() && fchown(made.get(), room.user, room.group) == 0 &&
                 flock(made.get(), LOCK_EX | LOCK_NB) == 0;
    } else if (mknodat(room.folder, name.c_str(), type | 0600, 0) == 0) {
        const UniqueFd node = madeSocket(room, name);
        madeIt =
            node.valid() && fchownat(node.get(), "", room.user, room.group, AT_EMPTY_PATH) == 0;
    }
    if (madeIt) return std::string();
    const std::string why = "cannot make a file in '" + room.path + "': " + std::strerror(errno);
    unlinkat(room.folder, name.c_str(), 0);
    return why;
}

// Moves the folder at name aside, under a name nobody can guess in the same folder: a file cannot
// be renamed over a folder, and removing what another user put in one, as root, would follow
// whatever the user puts there meanwhile. It stays its owner's, to remove.
std::string moveFolderAside(const Room& room, const std::string& name, const struct stat& status) {
    const std::string aside = ".launch." + RuntimeDirectory::randomDigits();
    const std::string path = room.path + "/" + name;
    if (renameat(room.folder, name.c_str(), room.folder, aside.c_str()) != 0) {
        return "cannot move '" + path + "' of " + ownerOf(status) +
               " aside: " + std::strerror(errno);
    }
    room.removed("moved '" + path + "' of " + ownerOf(status) + " to '" + room.path + "/" + aside +
                 "': it was in the way of the channel, which no process held");
    return std::string();
}

// Renames the file made at madeName over name in one step. A folder there, which a file cannot
// replace, is moved aside first, and again should one be put back meanwhile, a few times at most.
std::string renameOver(const Room& room, const std::string& madeName, const std::string& name) {
    int failure = 0;
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (renameat(room.folder, madeName.c_str(), room.folder, name.c_str()) == 0) {
            return std::string();
        }
        failure = errno;
        struct stat there {};
        if (failure != EISDIR ||
            fstatat(room.folder, name.c_str(), &there, AT_SYMLINK_NOFOLLOW) != 0) {
            break;
        }
        const std::string problem = moveFolderAside(room, name, there);
        if (!problem.empty()) return problem;
    }
    return "cannot make '" + room.path + "/" + name + "': " + std::strerror(failure);
}

// Puts a fresh file of the user's at name (see makeUsersFile), in one step over whatever is there
// (a folder moved aside): any user may put a file at a name left free, and would then keep the
// service from claiming it, whereas a file of the user's there is only the user's to remove. A
// file of another user's there (status, when not null) is told removed.
std::string reserve(const Room& room, const std::string& name, mode_t type,
                    const struct stat* status, UniqueFd& made) {
    std::string madeName;
    std::string problem = makeUsersFile(room, type, madeName, made);
    if (!problem.empty()) return problem;
    problem = renameOver(room, madeName, name);
    if (!problem.empty()) {
        unlinkat(room.folder, madeName.c_str(), 0);
        made = UniqueFd();
        return problem;
    }
    if (status != nullptr && !S_ISDIR(status->st_mode)) {
        room.removed(
            "removed '" + room.path + "/" + name + "' of " + ownerOf(*status) +
            ": it was in the way of the channel, " +
            (room.heldBy.empty() ? "which no process held" : "taken back from " + room.heldBy));
    }
    return std::string();
}

// What is at name, when it is not the user's or root's, is replaced by a file of the user's
// (status null when there is nothing there), where the caller may remove others' files.
std::string makeUsers(const Room& room, const std::string& name, mode_t type,
                      const struct stat* status, UniqueFd& made) {
    if (status != nullptr && isTheUsersOrRoots(room, *status)) return std::string();
    if (!room.othersRemovable) {
        return status != nullptr ? inTheWay(room, name, *status) : std::string();
    }
    return reserve(room, name, type, status, made);
}

// The process that holds files of owner's at the channel's names, for the log once they are
// taken back: "pid 1234 of uid 1002", or "a process of uid 1002" when it is not known.
std::string holderOf(pid_t holder, uid_t owner) {
    return (holder > 0 ? "pid " + std::to_string(holder) : std::string("a process")) + " of uid " +
           std::to_string(owner);
}

// The channel's lock file, opened (only a regular file: a FIFO or a device is never opened) and
// locked into lock; served tells that a lock file of the user's, or root's, is held, and then
// nothing is changed. The file's owner tells whose claim it is, whatever process the table names
// as holding it: no claim takes another user's lock file, and a member may have a process of
// root's hold its own (the setuid launcher it ran, stopped), or a pid of its reused by root.
std::string clearLockFile(Room& room, const std::string& channel, UniqueFd& lock, bool& served) {
    const std::string name =
        RuntimeDirectory(room.path).lockPath(channel).substr(room.path.size() + 1);
    struct stat status {};
    const bool there = fstatat(room.folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0;
    if (there && S_ISREG(status.st_mode)) {
        lock = UniqueFd(
            openat(room.folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (!lock.valid()) {
            return "cannot open '" + room.path + "/" + name + "': " + std::strerror(errno);
        }
        struct stat opened {};
        if (fstat(lock.get(), &opened) != 0 || !sameFile(opened, status)) {
            return "'" + room.path + "/" + name + "' keeps changing";
        }
        const pid_t holder = flock(lock.get(), LOCK_EX | LOCK_NB) != 0
                                 ? flockHolder(status.st_dev, status.st_ino)
                                 : 0;
        if (holder != 0 && isTheUsersOrRoots(room, status)) {
            served = true;
            return status.st_uid == room.user ? std::string() : channelHeldBy(channel, holder, 0);
        }
        if (holder != 0) room.heldBy = holderOf(holder, status.st_uid);
    }
    UniqueFd made;
    const std::string problem = makeUsers(room, name, S_IFREG, there ? &status : nullptr, made);
    if (made.valid()) lock = std::move(made);
    return problem;
}

// The channel's socket: another user's is replaced whoever listens at it (root's, when that
// user linked a socket of root's made for it there), as no claim takes it.
std::string clearSocket(Room& room, const std::string& channel) {
    struct stat status {};
    const bool there = fstatat(room.folder, channel.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0;
    if (there && !isTheUsersOrRoots(room, status)) {
        UniqueFd probe;
        const ConnectResult listened = S_ISSOCK(status.st_mode)
                                           ? connectTo(room.path + "/" + channel, probe)
                                           : ConnectResult::Gone;
        ucred peer{};
        socklen_t length = sizeof peer;
        const bool asked = listened == ConnectResult::Connected &&
                           getsockopt(probe.get(), SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0;
        if (listened == ConnectResult::Connected || listened == ConnectResult::Busy)
            room.heldBy = holderOf(asked ? peer.pid : 0, status.st_uid);
    }
    UniqueFd none;
    return makeUsers(room, channel, S_IFSOCK, there ? &status : nullptr, none);
}

}  // namespace

std::string makeRoomForChannel(const std::string& folder, const std::string& channel, uid_t user,
                               gid_t group,
                               const std::function<void(const std::string&)>& removed) {
    const UniqueFd opened(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat status {};
    if (!opened.valid() || fstat(opened.get(), &status) != 0) return std::string();
    Room room{opened.get(), folder, mayRemoveOthersIn(status), user, group, removed};
    UniqueFd lock;
    bool served = false;
    std::string problem = clearLockFile(room, channel, lock, served);
    if (problem.empty() && !served) problem = clearSocket(room, channel);
    return problem;
}

}  // namespace svcreg
