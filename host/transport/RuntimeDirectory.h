#pragma once

#include <string>

namespace svcreg {

// The folder that holds one socket per bound channel, and the names that may live in it.
class RuntimeDirectory {
public:
    // $XDG_RUNTIME_DIR/svcreg when that variable is set, else /tmp/svcreg-<uid>.
    static std::string defaultPath();

    explicit RuntimeDirectory(std::string path);

    // Creates the folder (mode 0700) unless it exists; refuses one that is not a folder or
    // belongs to another user. Only the last component is created.
    bool prepare(std::string& error) const;

    // A channel name is one path component: not empty, no '/' or NUL, not starting with '.'
    // (kept for the folder's own files), and short enough for a socket address.
    bool isValidChannel(const std::string& channel) const;
    // Valid channels only.
    std::string socketPath(const std::string& channel) const;
    // The file whose lock a process holds while it serves channel.
    std::string lockPath(const std::string& channel) const;

    const std::string& path() const { return folder; }

private:
    std::string folder;
};

}  // namespace svcreg
