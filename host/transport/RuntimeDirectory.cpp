#include "RuntimeDirectory.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <system_error>

#include "ServiceRegistry/RemoteDevices.h"
#include "UnixSocket.h"

namespace svcreg {

namespace {

std::string fromEnvironment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

bool isDirectory(const std::string& path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

bool writableByOthers(const struct stat& status) {
    return (status.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (status.st_mode & S_ISVTX) == 0;
}

}  // namespace

std::string RuntimeDirectory::defaultPath() {
    const std::string configured = fromEnvironment("SVCREG_RUNTIME_DIR");
    if (!configured.empty()) return configured;
    return isDirectory(kSystemPath) ? kSystemPath : userPath();
}

std::string RuntimeDirectory::daemonDefaultPath() {
    const std::string configured = fromEnvironment("SVCREG_RUNTIME_DIR");
    if (!configured.empty()) return configured;
    return geteuid() == 0 ? kSystemPath : userPath();
}

std::string RuntimeDirectory::userPath() {
    const std::string xdg = fromEnvironment("XDG_RUNTIME_DIR");
    if (!xdg.empty()) return xdg + "/svcreg";
    return "/tmp/svcreg-" + std::to_string(getuid());
}

bool RuntimeDirectory::isPrivateChannel(const std::string& channel) {
    return !channel.empty() && channel[0] == ':' && channel.find('@') == std::string::npos;
}

bool RuntimeDirectory::isRemoteChannel(const std::string& channel) const {
    return channel.find('@') != std::string::npos && remoteChannelProblem(channel).empty();
}

std::string RuntimeDirectory::remoteChannelProblem(const std::string& channel) const {
    const std::size_t at = channel.rfind('@');
    const std::string name = channel.substr(0, at);
    if (!isDeviceName(channel.substr(at + 1))) {
        return "a channel of another device is NAME@DEVICE, DEVICE being 1 to 63 letters, "
               "digits, '-', '_' or '.'";
    }
    if (name.empty() || name.find('@') != std::string::npos || name[0] == ':') {
        return "a channel of another device is NAME@DEVICE, NAME being the channel there, with "
               "no '@' and not private";
    }
    return channelProblem(name);
}

std::string RuntimeDirectory::socketPathFor(const std::string& channel) const {
    return socketPath(isRemoteChannel(channel) ? kGatewayChannel : channel);
}

uid_t RuntimeDirectory::owner() const {
    struct stat status {};
    return stat(folder.c_str(), &status) == 0 ? status.st_uid : static_cast<uid_t>(-1);
}

std::string RuntimeDirectory::newPrivateChannel() {
    return ":" + std::to_string(getpid()) + "." + randomDigits();
}

std::string RuntimeDirectory::randomDigits() {
    std::uint64_t random = 0;
    // Up to 256 bytes come whole once the kernel's generator is ready; a signal may cut the
    // wait for it, at boot.
    while (getrandom(&random, sizeof(random), 0) != static_cast<ssize_t>(sizeof(random))) {
        if (errno != EINTR) throw std::system_error(errno, std::generic_category(), "getrandom");
    }
    char digits[17];
    std::snprintf(digits, sizeof(digits), "%016" PRIx64, random);
    return digits;
}

RuntimeDirectory::RuntimeDirectory(std::string path, gid_t socketGroup, std::string privateFolder)
    : folder(std::move(path)), socketGroup(socketGroup), privateFolder(std::move(privateFolder)) {}

bool RuntimeDirectory::prepare(std::string& error) const {
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        error = "cannot create runtime directory '" + folder + "': " + std::strerror(errno);
        return false;
    }
    const UniqueFd opened(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat status {};
    if (!opened.valid() || fstat(opened.get(), &status) != 0) {
        error = "runtime directory '" + folder + "' is not a directory";
        return false;
    }
    if (status.st_uid != geteuid() && status.st_uid != 0) {
        error = "runtime directory '" + folder + "' belongs to another user (uid " +
                std::to_string(status.st_uid) + ")";
        return false;
    }
    if (writableByOthers(status)) {
        error = "runtime directory '" + folder +
                "' may be written by other users and has no sticky bit: chmod +t or o-w it";
        return false;
    }
    return true;
}

bool RuntimeDirectory::shareSocket(const std::string& path, std::string& error) const {
    if (socketGroup == static_cast<gid_t>(-1)) return true;
    if (lchown(path.c_str(), static_cast<uid_t>(-1), socketGroup) == 0 &&
        chmod(path.c_str(), 0660) == 0) {
        return true;
    }
    error = "cannot give socket '" + path + "' to group " + std::to_string(socketGroup) + ": " +
            std::strerror(errno);
    return false;
}

bool RuntimeDirectory::preparePrivate(std::string& error) const {
    if (privateFolder.empty()) return true;
    if (mkdir(privateFolder.c_str(), 0700) != 0 && errno != EEXIST) {
        error = "cannot create state directory '" + privateFolder + "': " + std::strerror(errno);
        return false;
    }
    const UniqueFd opened(
        open(privateFolder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat status {};
    if (!opened.valid() || fstat(opened.get(), &status) != 0) {
        error = "state directory '" + privateFolder + "' is not a directory";
        return false;
    }
    if (status.st_uid != geteuid() || (status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        error = "state directory '" + privateFolder +
                "' must be this user's and written by nobody else";
        return false;
    }
    return true;
}

bool RuntimeDirectory::isValidChannel(const std::string& channel) const {
    return channelProblem(channel).empty();
}

std::string RuntimeDirectory::channelProblem(const std::string& channel) const {
    if (channel.empty()) return "a channel name cannot be empty";
    if (channel[0] == '.') return "a channel name cannot start with '.'";
    if (channel.find('/') != std::string::npos || channel.find('\0') != std::string::npos) {
        return "a channel name cannot hold '/' or NUL";
    }
    // The longest name of the folder's files is the lock file's: "." + channel + ".lock"; with
    // the folder, a slash and the closing NUL, it must fit a socket address.
    const std::size_t room = sizeof(sockaddr_un::sun_path);
    const std::size_t longest = folder.size() + 8 < room ? room - folder.size() - 8 : 0;
    if (channel.size() > longest) {
        return "a channel name in '" + folder + "' can have at most " + std::to_string(longest) +
               " bytes";
    }
    return "";
}

std::string RuntimeDirectory::socketPath(const std::string& channel) const {
    return folder + "/" + channel;
}

std::string RuntimeDirectory::lockPath(const std::string& channel) const {
    return folder + "/." + channel + ".lock";
}

std::optional<std::string> RuntimeDirectory::channelOfLockFile(const std::string& fileName) {
    constexpr std::string_view suffix = ".lock";
    if (fileName.size() <= suffix.size() + 1 || fileName[0] != '.' ||
        fileName.compare(fileName.size() - suffix.size(), suffix.size(), suffix) != 0) {
        return std::nullopt;
    }
    return fileName.substr(1, fileName.size() - suffix.size() - 1);
}

std::optional<std::vector<std::string>> RuntimeDirectory::channelsWithLockFiles() const {
    std::vector<std::string> channels;
    const std::unique_ptr<DIR, int (*)(DIR*)> listing(opendir(folder.c_str()), closedir);
    if (listing == nullptr) return std::nullopt;
    errno = 0;
    while (const dirent* entry = readdir(listing.get())) {
        if (std::optional<std::string> channel = channelOfLockFile(entry->d_name)) {
            channels.push_back(std::move(*channel));
        }
    }
    if (errno != 0) return std::nullopt;
    return channels;
}

std::string RuntimeDirectory::claimPath(const std::string& channel) const {
    return privateFolder.empty() ? lockPath(channel) : privateFolder + "/" + channel + ".lock";
}

std::string RuntimeDirectory::statePath(const std::string& channel) const {
    return privateFolder.empty() ? folder + "/." + channel + ".journal"
                                 : privateFolder + "/" + channel + ".journal";
}

}  // namespace svcreg
