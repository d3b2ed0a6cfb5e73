#pragma once

#include <cstddef>
#include <string>

namespace svcreg {

// Reads the file at path, which this process may trust as it trusts itself: a regular file
// (a link is followed to it), never waited on (a FIFO is refused, not opened for good), owned
// by root or this process's user, and writable by neither its group nor others, of at most
// maxBytes. False, with a message naming the file and what is wrong with it.
bool readTrustedFile(const std::string& path, std::size_t maxBytes, std::string& content,
                     std::string& error);

}  // namespace svcreg
