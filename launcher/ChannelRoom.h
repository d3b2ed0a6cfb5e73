#pragma once

#include <sys/types.h>

#include <functional>
#include <string>

namespace svcreg {

// Makes room in the runtime directory folder for a declared service of user to claim channel,
// before the launcher starts it. The folder is sticky and its group's to write: any member could
// otherwise keep the service from ever starting with a file at one of the channel's names, which
// only its owner or root may remove. So, unless a lock file of user's or root's there is held,
// each of its names (its lock file and its socket) is made the user's: a file there that is
// neither user's nor root's is replaced (a folder moved aside), and that told to removed, naming
// the file's owner (it is a dead process's, one put in the way, or one a live process holds or
// listens at, squatting a channel declared for this service: it is taken back, whatever process
// the lock table or the socket names, and that process keeps what it has open, which nobody
// reaches any more); a name left free gets a file of user's and group's (a lock file, a socket
// nobody listens at), so that nobody can put one there between this and the service's claim. The
// lock file is held meanwhile, so that no claim starts before then.
//
// Running as root, for a caller that may not remove those files itself: no link is followed;
// each file is made in the folder opened, under a name nobody can have guessed, and renamed over
// the channel's name in one step; and only in a folder of the caller's, or root's sticky one that
// nobody but root and the caller's group may write (the registry's, as the packages make it).
// Elsewhere a file in the way refuses the start, and nothing is made.
//
// Empty when the service may start; else why not: a lock file of root's is held (the process
// holding it named by its pid), or a file in the way cannot be replaced.
// Nothing is done when the folder does not exist, or when a process of user holds the channel:
// the service then finds it as it is.
std::string makeRoomForChannel(const std::string& folder, const std::string& channel, uid_t user,
                               gid_t group, const std::function<void(const std::string&)>& removed);

}  // namespace svcreg
