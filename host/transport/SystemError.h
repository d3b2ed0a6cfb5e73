#pragma once

#include <cerrno>
#include <cstring>
#include <string>

namespace svcreg {

// "cannot WHAT 'PATH': REASON", REASON being errno's, for a message about a file.
inline std::string systemError(const std::string& what, const std::string& path) {
    return "cannot " + what + " '" + path + "': " + std::strerror(errno);
}

}  // namespace svcreg
