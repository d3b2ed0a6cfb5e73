#pragma once

#include <sys/types.h>

#include <functional>
#include <string>

namespace svcreg {

// Makes room in the runtime directory folder for a declared service of user to claim channel,
// before the launcher starts it. The folder is sticky and its group's to write: any member could
// otherwise keep the service from ever starting with a file at one of the channel's names, which
// only its owner or root may remove. So, unless a live process holds the channel, each file at
// its names (its lock file and its socket) that is neither user's nor root's is removed, and the
// removal told to removed, naming the file's owner: it is a dead process's, or one put in the
// way. The lock file, when there is one to lock, is held meanwhile, so that no claim starts
// before the files are gone. A live process of another user than root that holds the channel,
// or listens at its socket, has it taken back, told to removed too: a declared channel is its
// service's. Its files are replaced with the user's, a lock file and a socket nothing listens at,
// which no other user may open nor remove, and which the service then claims as its own.
//
// Running as root, for a caller that may not remove those files itself: no link is followed;
// each file is removed from the folder opened, and only while it is still the file looked at
// (its owner may replace it meanwhile, never with another user's); and only in a folder of the
// caller's, or root's sticky one that nobody but root and the caller's group may write (the
// registry's, as the packages make it). Elsewhere a file in the way refuses the start.
//
// Empty when the service may start; else why not: a live process of root's holds the channel's
// lock, or listens at its socket (named by its pid), or a file in the way cannot be removed.
// Nothing is done when the folder does not exist, or when a process of user holds the channel: the
// service then finds it as it is.
std::string makeRoomForChannel(const std::string& folder, const std::string& channel, uid_t user,
                               const std::function<void(const std::string&)>& removed);

}  // namespace svcreg
