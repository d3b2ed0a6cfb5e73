#include "TrustedPath.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace svcreg {

namespace {

// As the kernel bounds the links it follows for a path.
constexpr int kMostLinks = 40;

// Pushes the components of path onto pending, the first on top.
void pushComponents(const std::string& path, std::vector<std::string>& pending) {
    std::vector<std::string> components;
    for (std::size_t at = 0; at < path.size();) {
        const std::size_t end = std::min(path.find('/', at), path.size());
        if (end > at) components.push_back(path.substr(at, end - at));
        at = end + 1;
    }
    pending.insert(pending.end(), components.rbegin(), components.rend());
}

std::string parentOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

// Why an entry of this status is not owners' alone; empty when it is.
std::string distrustOf(const std::string& path, const struct stat& status,
                       const std::vector<uid_t>& owners) {
    if (std::find(owners.begin(), owners.end(), status.st_uid) == owners.end()) {
        return "'" + path + "' belongs to uid " + std::to_string(status.st_uid);
    }
    const bool stickyOfRoot =
        S_ISDIR(status.st_mode) && (status.st_mode & S_ISVTX) != 0 && status.st_uid == 0;
    // A link's own mode means nothing: only its folder decides who may replace it.
    if (!S_ISLNK(status.st_mode) && !stickyOfRoot && (status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return "'" + path + "' is writable by group or others";
    }
    return std::string();
}

}  // namespace

std::string trustedPath(const std::string& path, const std::vector<uid_t>& owners,
                        std::string& problem) {
    if (path.empty() || path[0] != '/') {
        problem = "'" + path + "' is not an absolute path";
        return std::string();
    }
    std::string at = "/";
    struct stat status {};
    if (lstat(at.c_str(), &status) != 0 || !(problem = distrustOf(at, status, owners)).empty()) {
        if (problem.empty()) problem = "cannot look at '/': " + std::string(std::strerror(errno));
        return std::string();
    }
    std::vector<std::string> pending;
    pushComponents(path, pending);
    for (int links = 0; !pending.empty();) {
        const std::string component = pending.back();
        pending.pop_back();
        if (component == ".") continue;
        // The folder above one passed through was passed through itself, and checked.
        if (component == "..") {
            at = parentOf(at);
            continue;
        }
        const std::string next = (at == "/" ? "" : at) + "/" + component;
        if (lstat(next.c_str(), &status) != 0) {
            problem = "cannot look at '" + next + "': " + std::strerror(errno);
            return std::string();
        }
        problem = distrustOf(next, status, owners);
        if (!problem.empty()) return std::string();
        if (S_ISLNK(status.st_mode)) {
            char target[4096];
            const ssize_t length = readlink(next.c_str(), target, sizeof(target));
            if (length <= 0 || length == sizeof(target) || ++links > kMostLinks) {
                problem = "cannot follow the link '" + next + "'";
                return std::string();
            }
            if (target[0] == '/') at = "/";
            pushComponents(std::string(target, static_cast<std::size_t>(length)), pending);
            continue;
        }
        at = next;
        if (!S_ISDIR(status.st_mode) && !pending.empty()) {
            problem = "'" + next + "' is not a folder";
            return std::string();
        }
    }
    if (!S_ISREG(status.st_mode)) {
        problem = "'" + at + "' is not a regular file";
        return std::string();
    }
    return at;
}

}  // namespace svcreg
