#include "LockHolder.h"

#include <sys/sysmacros.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace svcreg {

namespace {

// Any user can make the table as long as they like, and the kernel reads it a page at a time,
// walking it from its start again for each: 200,000 locks of one user's cost 20 s to read
// whole, its first MiB 0.03 s. Each processor's locks are listed newest first, a claim's
// among the first of its own.
constexpr std::size_t kMostBytesRead = 1 << 20;

}  // namespace

pid_t flockHolder(dev_t device, ino_t inode) {
    std::ifstream locks("/proc/locks");
    return flockHolder(locks, device, inode);
}

// From lines such as "1: FLOCK  ADVISORY  WRITE 1234 08:02:131090 0 EOF"; a waiter's line has
// "->" after the number.
pid_t flockHolder(std::istream& locks, dev_t device, ino_t inode) {
    std::string line;
    char wanted[64];
    std::snprintf(wanted, sizeof wanted, " %02x:%02x:%llu ", major(device), minor(device),
                  static_cast<unsigned long long>(inode));
    for (std::size_t read = 0; std::getline(locks, line); read += line.size() + 1) {
        if (read >= kMostBytesRead) return kHolderUnknown;
        if (line.find(wanted) == std::string::npos || line.find("->") != std::string::npos ||
            line.find(" FLOCK ") == std::string::npos) {
            continue;
        }
        std::istringstream fields(line);
        std::string number, type, advisory, access;
        long pid = 0;
        if (fields >> number >> type >> advisory >> access >> pid && pid > 0) {
            return static_cast<pid_t>(pid);
        }
    }
    return 0;
}

std::string channelHeldBy(const std::string& channel, pid_t holder, uid_t user) {
    return "the channel '" + channel + "' is held by pid " + std::to_string(holder) + " of uid " +
           std::to_string(user);
}

}  // namespace svcreg
