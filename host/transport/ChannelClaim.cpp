#include "ChannelClaim.h"

#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fcntl.h>
#include <cerrno>
#include <cstring>

namespace svcreg {

namespace {

bool sameFile(int fd, const std::string& path) {
    struct stat opened {};
    struct stat named {};
    return fstat(fd, &opened) == 0 && stat(path.c_str(), &named) == 0 &&
           opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

// The lock file is removed by the process that held it when it stops serving; a process that
// opened it just before must then try again on the new file, or two would hold "the" lock.
UniqueFd lockChannel(const std::string& lockPath, std::string& error) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        UniqueFd lock(open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
        if (!lock.valid()) {
            error = "cannot open '" + lockPath + "': " + std::strerror(errno);
            return UniqueFd();
        }
        if (flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
            error = errno == EWOULDBLOCK
                        ? "another process already serves this channel"
                        : std::string("cannot lock '") + lockPath + "': " + std::strerror(errno);
            return UniqueFd();
        }
        if (sameFile(lock.get(), lockPath)) return lock;
    }
    error = "'" + lockPath + "' keeps changing";
    return UniqueFd();
}

}  // namespace

std::unique_ptr<ChannelClaim> ChannelClaim::claim(const RuntimeDirectory& directory,
                                                  const std::string& channel, UniqueFd given,
                                                  std::string& error) {
    if (!directory.isValidChannel(channel)) {
        error = "'" + channel + "' is not a valid channel name";
        return nullptr;
    }
    const std::string lockPath = directory.lockPath(channel);
    UniqueFd lock = lockChannel(lockPath, error);
    if (!lock.valid()) return nullptr;
    const std::string socketPath = directory.socketPath(channel);
    const bool ownsSocketFile = !given.valid();
    UniqueFd listener = ownsSocketFile ? listenAt(socketPath, error) : std::move(given);
    if (!listener.valid()) {
        unlink(lockPath.c_str());
        return nullptr;
    }
    return std::unique_ptr<ChannelClaim>(new ChannelClaim(
        channel, socketPath, lockPath, std::move(lock), std::move(listener), ownsSocketFile));
}

ChannelClaim::ChannelClaim(std::string channel, std::string socketPath, std::string lockPath,
                           UniqueFd lock, UniqueFd listener, bool ownsSocketFile)
    : name(std::move(channel)),
      socketPath(std::move(socketPath)),
      lockPath(std::move(lockPath)),
      lock(std::move(lock)),
      listener(std::move(listener)),
      ownsSocketFile(ownsSocketFile) {}

ChannelClaim::~ChannelClaim() {
    if (ownsSocketFile) unlink(socketPath.c_str());
    unlink(lockPath.c_str());
}

}  // namespace svcreg
