#pragma once

#include <sys/types.h>

#include <string>

namespace svcreg {

// The process holding an exclusive flock on the file device:inode, as the kernel's table of
// file locks (/proc/locks) says; 0 when none does, or when it is not in the table's first MiB
// (some user holds tens of thousands of locks newer than it). Needs no access to the file.
pid_t flockHolder(dev_t device, ino_t inode);

// Why a declared service of another user cannot start while process holder of user holds its
// channel: "the channel 'camera' is held by pid 1234 of uid 1002".
std::string channelHeldBy(const std::string& channel, pid_t holder, uid_t user);

}  // namespace svcreg
