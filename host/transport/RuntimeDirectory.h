#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace svcreg {

// The folder that holds one socket per bound channel, and the names that may live in it.
class RuntimeDirectory {
public:
    // The system daemon's folder.
    static constexpr const char* kSystemPath = "/run/svcreg";

    // Where a program looks for channels: $SVCREG_RUNTIME_DIR when set, else the system
    // folder when it exists, else the user's own.
    static std::string defaultPath();
    // Where a daemon serves: $SVCREG_RUNTIME_DIR when set, else the system folder for root,
    // else the user's own.
    static std::string daemonDefaultPath();
    // $XDG_RUNTIME_DIR/svcreg when that variable is set, else /tmp/svcreg-<uid>.
    static std::string userPath();

    // The channel of the gateway to other devices, served by the registry daemon when it
    // federates: what goes to a channel on another device goes over its socket.
    static constexpr const char* kGatewayChannel = "@";

    // A private channel, a name that starts with ':' and holds no '@', has no socket: a process
    // serves it over the connections it makes, and the first connection that names it holds it
    // (see Transport). Nothing in the name is checked: only its being unguessable keeps it a
    // process's own.
    static bool isPrivateChannel(const std::string& channel);
    // A fresh private channel, ":<pid>.<16 hex digits from getrandom>": nobody else can guess
    // it, a later process with this pid included. The pid only tells people whose it is.
    static std::string newPrivateChannel();
    // 16 hex digits from getrandom, which nobody else can guess: for a private channel, or for
    // the name of a file made in a folder others may write before it is renamed into place.
    static std::string randomDigits();

    // socketGroup, unless -1, is the group whose members may connect to the sockets made here.
    // privateFolder, unless empty, is a folder only this process's user may write, where the
    // claims and the state of the channels this process serves are kept out of the reach of
    // everyone who may write here (see claimPath).
    explicit RuntimeDirectory(std::string path, gid_t socketGroup = static_cast<gid_t>(-1),
                              std::string privateFolder = std::string());

    // Creates the folder (mode 0700) unless it exists. Refuses a symbolic link, a folder that
    // belongs to someone other than this user or root, and one that others may write to
    // without the sticky bit (where they could replace this process's sockets). Only the last
    // component is created.
    bool prepare(std::string& error) const;
    // Creates the private folder (mode 0700) unless it exists; refuses one that is a link,
    // belongs to another user or that group or others may write. True when there is none.
    bool preparePrivate(std::string& error) const;

    // A channel name is one path component: not empty, no '/' or NUL, not starting with '.'
    // (kept for the folder's own files), and short enough for a socket address.
    bool isValidChannel(const std::string& channel) const;
    // A channel NAME@DEVICE of another device: NAME a valid channel here, neither private nor
    // holding '@', and DEVICE a device's name (see isDeviceName). Reached through the gateway.
    bool isRemoteChannel(const std::string& channel) const;
    // Empty for a channel of another device, given one holding '@'; else which rule it breaks.
    std::string remoteChannelProblem(const std::string& channel) const;
    // The socket where what goes to channel is sent: the gateway's for a channel of another
    // device, else the channel's own.
    std::string socketPathFor(const std::string& channel) const;
    // The user the folder belongs to; -1 when it cannot be told.
    uid_t owner() const;
    // Empty for a valid channel; else which rule it breaks.
    std::string channelProblem(const std::string& channel) const;
    // Valid channels only.
    std::string socketPath(const std::string& channel) const;
    // The file whose lock a process holds while it serves channel, where others look for it.
    std::string lockPath(const std::string& channel) const;
    // The one this process locks to serve channel: in the private folder when there is one,
    // where nothing planted can stand in its way; else lockPath.
    std::string claimPath(const std::string& channel) const;
    // The channel whose lock file is named fileName (".<channel>.lock"), if it is one.
    static std::optional<std::string> channelOfLockFile(const std::string& fileName);
    // The channels whose lock files are in the folder now; none when it cannot be read.
    std::optional<std::vector<std::string>> channelsWithLockFiles() const;
    // The file where the process serving channel keeps what must outlive it: in the private
    // folder when there is one.
    std::string statePath(const std::string& channel) const;

    // Lets the socket group's members connect to the socket at path (mode 0660): without a
    // socket group, nothing changes.
    bool shareSocket(const std::string& path, std::string& error) const;

    const std::string& path() const { return folder; }

private:
    std::string folder;
    gid_t socketGroup;
    std::string privateFolder;
};

}  // namespace svcreg
