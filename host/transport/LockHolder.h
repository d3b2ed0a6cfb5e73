#pragma once

#include <sys/types.h>

#include <iosfwd>
#include <string>

namespace svcreg {

// What flockHolder says of a holder it did not find in the table's first MiB, past which it
// does not read: some user holds tens of thousands of locks newer than the holder's, if any.
constexpr pid_t kHolderUnknown = -1;

// The process holding an exclusive flock on the file device:inode, as the kernel's table of
// file locks (/proc/locks) says; 0 when none does, or kHolderUnknown. Needs no access to the
// file.
pid_t flockHolder(dev_t device, ino_t inode);
// The same, of the table as locks reads it, in the lines of /proc/locks.
pid_t flockHolder(std::istream& locks, dev_t device, ino_t inode);

// Why a declared service of another user cannot start while process holder of user holds its
// channel: "the channel 'camera' is held by pid 1234 of uid 1002".
std::string channelHeldBy(const std::string& channel, pid_t holder, uid_t user);

}  // namespace svcreg
