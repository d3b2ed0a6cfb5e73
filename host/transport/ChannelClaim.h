#pragma once

#include <memory>
#include <optional>
#include <string>

#include "FileIdentity.h"
#include "RuntimeDirectory.h"
#include "UnixSocket.h"

namespace svcreg {

// The right to serve one channel of a runtime directory: the channel's lock file, locked, and
// the socket listening at the channel's place. Another process that tries to claim the channel
// while this one holds it fails.
class ChannelClaim {
public:
    // Given a listening socket (one a service manager made), or else one passed to this process
    // for the channel (see PassedSockets), serves that one at its place instead of making one;
    // its file then belongs to whoever made it, and stays. Either must be a listening Unix
    // stream socket bound at the channel's place, or the claim fails naming its descriptor.
    static std::unique_ptr<ChannelClaim> claim(const RuntimeDirectory& directory,
                                               const std::string& channel, UniqueFd given,
                                               std::string& error);
    // Removes the lock file, and the socket file when this claim made it, each only while it is
    // still the file this claim made: never one that another process has put in its place. A
    // claim kept in the private folder (the registry daemon's) leaves its socket: the channel's
    // name then stays this user's while nothing serves it, where any member could otherwise put
    // a file that this user could never remove and keep the channel from it for good; the next
    // claim replaces the stale socket in one step (see listenAt).
    ~ChannelClaim();
    ChannelClaim(const ChannelClaim&) = delete;
    ChannelClaim& operator=(const ChannelClaim&) = delete;

    // The process that holds channel's claim (kHolderUnknown past what is read of it: see
    // LockHolder.h), and the user its lock file belongs to, as the kernel's table of file locks
    // says; none when nobody holds it. Needs no access to the
    // channel's socket. The lock is taken by the process that claimed the channel: a child
    // that inherited it after that process ended still shows that process.
    struct Holder {
        pid_t pid;
        uid_t user;
    };
    static std::optional<Holder> holderOf(const RuntimeDirectory& directory,
                                          const std::string& channel);

    int socket() const { return listener.get(); }
    const std::string& channel() const { return name; }
    // False, with what happened, once the runtime directory or the channel's socket has been
    // removed or replaced: nobody can reach the channel any more.
    bool inPlace(std::string& error) const;

private:
    ChannelClaim(const RuntimeDirectory& directory, std::string channel, UniqueFd lock,
                 UniqueFd listener, bool removesSocketFile);

    const std::string name;
    const std::string directoryPath;
    const std::string socketPath;
    const std::string lockPath;
    const FileIdentity directoryFile;
    const FileIdentity socketFile;
    const FileIdentity lockFile;
    const UniqueFd lock;  // held while the channel is served here
    const UniqueFd listener;
    const bool removesSocketFile;
};

}  // namespace svcreg
