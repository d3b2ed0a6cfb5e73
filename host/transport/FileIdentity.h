#pragma once

#include <sys/types.h>

#include <string>

namespace svcreg {

// Which file a name or a descriptor stands for, so that a process can tell the file it made
// from one that has taken its name since.
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    bool exists = false;

    bool operator==(const FileIdentity& other) const {
        return exists && other.exists && device == other.device && inode == other.inode;
    }
    bool operator!=(const FileIdentity& other) const { return !(*this == other); }

    // The file at path itself: a symbolic link there is not followed.
    static FileIdentity at(const std::string& path);
    static FileIdentity of(int fd);
};

}  // namespace svcreg
