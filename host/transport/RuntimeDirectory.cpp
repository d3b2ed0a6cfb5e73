#include "RuntimeDirectory.h"

#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace svcreg {

std::string RuntimeDirectory::defaultPath() {
    const char* xdg = std::getenv("XDG_RUNTIME_DIR");
    if (xdg != nullptr && xdg[0] != '\0') return std::string(xdg) + "/svcreg";
    return "/tmp/svcreg-" + std::to_string(getuid());
}

RuntimeDirectory::RuntimeDirectory(std::string path) : folder(std::move(path)) {}

bool RuntimeDirectory::prepare(std::string& error) const {
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        error = "cannot create runtime directory '" + folder + "': " + std::strerror(errno);
        return false;
    }
    struct stat status {};
    if (lstat(folder.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
        error = "runtime directory '" + folder + "' is not a directory";
        return false;
    }
    if (status.st_uid != getuid()) {
        error = "runtime directory '" + folder + "' belongs to another user";
        return false;
    }
    return true;
}

bool RuntimeDirectory::isValidChannel(const std::string& channel) const {
    if (channel.empty() || channel[0] == '.') return false;
    if (channel.find('/') != std::string::npos || channel.find('\0') != std::string::npos) {
        return false;
    }
    // The longest name of the folder's files is the lock file's: "." + channel + ".lock".
    return folder.size() + 1 + channel.size() + 6 < sizeof(sockaddr_un::sun_path);
}

std::string RuntimeDirectory::socketPath(const std::string& channel) const {
    return folder + "/" + channel;
}

std::string RuntimeDirectory::lockPath(const std::string& channel) const {
    return folder + "/." + channel + ".lock";
}

}  // namespace svcreg
