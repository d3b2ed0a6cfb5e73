#pragma once

#include <memory>
#include <string>

#include "RuntimeDirectory.h"
#include "UnixSocket.h"

namespace svcreg {

// The right to serve one channel of a runtime directory: the channel's lock file, locked, and
// the socket listening at the channel's place. Another process that tries to claim the channel
// while this one holds it fails.
class ChannelClaim {
public:
    // Given a listening socket (one a service manager made), serves that one at its place
    // instead of making one; its file then belongs to whoever made it, and stays.
    static std::unique_ptr<ChannelClaim> claim(const RuntimeDirectory& directory,
                                               const std::string& channel, UniqueFd given,
                                               std::string& error);
    // Removes the lock file, and the socket file when this claim made it.
    ~ChannelClaim();
    ChannelClaim(const ChannelClaim&) = delete;
    ChannelClaim& operator=(const ChannelClaim&) = delete;

    int socket() const { return listener.get(); }
    const std::string& channel() const { return name; }

private:
    ChannelClaim(std::string channel, std::string socketPath, std::string lockPath, UniqueFd lock,
                 UniqueFd listener, bool ownsSocketFile);

    const std::string name;
    const std::string socketPath;
    const std::string lockPath;
    const UniqueFd lock;  // held while the channel is served here
    const UniqueFd listener;
    const bool ownsSocketFile;
};

}  // namespace svcreg
