#include "FileIdentity.h"

#include <sys/stat.h>

namespace svcreg {

namespace {

FileIdentity fromStatus(const struct stat& status) {
    FileIdentity identity;
    identity.device = status.st_dev;
    identity.inode = status.st_ino;
    identity.exists = true;
    return identity;
}

}  // namespace

FileIdentity FileIdentity::at(const std::string& path) {
    struct stat status {};
    return lstat(path.c_str(), &status) == 0 ? fromStatus(status) : FileIdentity();
}

FileIdentity FileIdentity::of(int fd) {
    struct stat status {};
    return fstat(fd, &status) == 0 ? fromStatus(status) : FileIdentity();
}

}  // namespace svcreg
