#include "TrustedFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "UnixSocket.h"

namespace svcreg {

namespace {

// Why a file of this status is not to be trusted; empty when it is.
std::string distrustOf(const struct stat& status, std::size_t maxBytes) {
    if (!S_ISREG(status.st_mode)) return "is not a regular file";
    if (status.st_uid != 0 && status.st_uid != geteuid()) {
        return "belongs to uid " + std::to_string(status.st_uid) +
               ", neither root nor this process's user";
    }
    if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0) return "is writable by group or others";
    if (static_cast<std::size_t>(status.st_size) > maxBytes) {
        return "is over " + std::to_string(maxBytes) + " bytes";
    }
    return std::string();
}

}  // namespace

bool readTrustedFile(const std::string& path, std::size_t maxBytes, std::string& content,
                     std::string& error) {
    // A link is followed, as /etc's files often are links: the file it leads to is checked.
    const UniqueFd file(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat status {};
    if (!file.valid() || fstat(file.get(), &status) != 0) {
        error = "cannot read '" + path + "': " + std::strerror(errno);
        return false;
    }
    const std::string distrust = distrustOf(status, maxBytes);
    if (!distrust.empty()) {
        error = "'" + path + "' " + distrust + ": it is not read";
        return false;
    }
    content.assign(static_cast<std::size_t>(status.st_size), '\0');
    std::size_t filled = 0;
    while (filled < content.size()) {
        const ssize_t n = read(file.get(), &content[filled], content.size() - filled);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = "cannot read '" + path + "': " + std::strerror(errno);
            return false;
        }
        if (n == 0) break;
        filled += static_cast<std::size_t>(n);
    }
    content.resize(filled);
    return true;
}

}  // namespace svcreg
