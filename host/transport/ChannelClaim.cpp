#include "ChannelClaim.h"

#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fcntl.h>
#include <cerrno>
#include <cstring>

#include "FileIdentity.h"
#include "LockHolder.h"
#include "PassedSockets.h"

namespace svcreg {

namespace {

// Why the lock file open at fd may not be used, or empty: it must be a regular file (not a
// FIFO or a device someone put in its place) of this user's or root's.
std::string problemOfLockFile(int fd) {
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) return "is not a regular file";
    if (status.st_uid != geteuid() && status.st_uid != 0) return "belongs to another user";
    return std::string();
}

// Removes path only while it is still the file this process made.
void unlinkIfStill(const std::string& path, const FileIdentity& made) {
    if (FileIdentity::at(path) == made) unlink(path.c_str());
}

// Whether the lock file, held by another process, is removed within a moment: a daemon's sweep
// of stale files holds a lock file only as long as it takes to remove it.
bool removedWhileHeld(int lock, const std::string& lockPath) {
    for (int wait = 0; wait < 5; ++wait) {
        if (FileIdentity::of(lock) != FileIdentity::at(lockPath)) return true;
        usleep(2000);
    }
    return false;
}

// The lock file is removed by the process that held it when it stops serving; a process that
// opened it just before must then try again on the new file, or two would hold "the" lock.
UniqueFd lockChannel(const std::string& lockPath, std::string& error) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        // Never waits, whatever was put in its place: a FIFO would hold open() for good.
        UniqueFd lock(
            open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
        if (!lock.valid()) {
            error = "cannot open '" + lockPath + "': " + std::strerror(errno);
            return UniqueFd();
        }
        const std::string problem = problemOfLockFile(lock.get());
        if (!problem.empty()) {
            error = "'" + lockPath + "' " + problem;
            return UniqueFd();
        }
        if (flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
            const int failure = errno;
            if (failure == EWOULDBLOCK && removedWhileHeld(lock.get(), lockPath)) {
                continue;  // a sweep of stale files held it a moment to remove it
            }
            error = failure == EWOULDBLOCK
                        ? "another process already serves this channel"
                        : std::string("cannot lock '") + lockPath + "': " + std::strerror(failure);
            return UniqueFd();
        }
        if (FileIdentity::of(lock.get()) == FileIdentity::at(lockPath)) return lock;
    }
    error = "'" + lockPath + "' keeps changing";
    return UniqueFd();
}

// given, a listening socket made for the channel by someone else, made non-blocking; none, with
// error naming its descriptor, when it cannot serve the channel (see listenerProblem).
UniqueFd takeListener(UniqueFd given, const std::string& socketPath, std::string& error) {
    const std::string problem = listenerProblem(given.get(), socketPath);
    if (!problem.empty()) {
        error = "the socket passed in as descriptor " + std::to_string(given.get()) + " " + problem;
        return UniqueFd();
    }
    fcntl(given.get(), F_SETFL, fcntl(given.get(), F_GETFL) | O_NONBLOCK);
    return given;
}

}  // namespace

std::optional<ChannelClaim::Holder> ChannelClaim::holderOf(const RuntimeDirectory& directory,
                                                           const std::string& channel) {
    struct stat status {};
    if (lstat(directory.lockPath(channel).c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
        return std::nullopt;
    }
    const pid_t pid = flockHolder(status.st_dev, status.st_ino);
    if (pid == 0) return std::nullopt;
    return Holder{pid, status.st_uid};
}

std::unique_ptr<ChannelClaim> ChannelClaim::claim(const RuntimeDirectory& directory,
                                                  const std::string& channel, UniqueFd given,
                                                  std::string& error) {
    const std::string problem = RuntimeDirectory::isPrivateChannel(channel)
                                    ? "a private channel has no socket to serve"
                                    : directory.channelProblem(channel);
    if (!problem.empty()) {
        error = "'" + channel + "' is not a valid channel name: " + problem;
        return nullptr;
    }
    const std::string lockPath = directory.claimPath(channel);
    UniqueFd lock = lockChannel(lockPath, error);
    if (!lock.valid()) return nullptr;
    const std::string socketPath = directory.socketPath(channel);
    if (!given.valid()) given = PassedSockets::take(channel, socketPath);
    const bool ownsSocketFile = !given.valid();
    UniqueFd listener = ownsSocketFile ? listenAt(socketPath, error)
                                       : takeListener(std::move(given), socketPath, error);
    if (listener.valid() && ownsSocketFile && !directory.shareSocket(socketPath, error)) {
        unlink(socketPath.c_str());  // made just now, under the channel's lock
        listener = UniqueFd();
    }
    if (!listener.valid()) {
        unlinkIfStill(lockPath, FileIdentity::of(lock.get()));
        return nullptr;
    }
    const bool keptPrivately = lockPath != directory.lockPath(channel);
    return std::unique_ptr<ChannelClaim>(new ChannelClaim(directory, channel, std::move(lock),
                                                          std::move(listener),
                                                          ownsSocketFile && !keptPrivately));
}

ChannelClaim::ChannelClaim(const RuntimeDirectory& directory, std::string channel, UniqueFd lock,
                           UniqueFd listener, bool removesSocketFile)
    : name(std::move(channel)),
      directoryPath(directory.path()),
      socketPath(directory.socketPath(name)),
      lockPath(directory.claimPath(name)),
      directoryFile(FileIdentity::at(directoryPath)),
      socketFile(FileIdentity::at(socketPath)),
      lockFile(FileIdentity::of(lock.get())),
      lock(std::move(lock)),
      listener(std::move(listener)),
      removesSocketFile(removesSocketFile) {}

ChannelClaim::~ChannelClaim() {
    if (removesSocketFile) unlinkIfStill(socketPath, socketFile);
    unlinkIfStill(lockPath, lockFile);
}

bool ChannelClaim::inPlace(std::string& error) const {
    if (FileIdentity::at(directoryPath) != directoryFile) {
        error = "runtime directory '" + directoryPath + "' was removed or replaced";
    } else if (FileIdentity::at(socketPath) != socketFile) {
        error = "socket '" + socketPath + "' was removed or replaced";
    } else {
        return true;
    }
    return false;
}

}  // namespace svcreg
