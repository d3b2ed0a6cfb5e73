#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace svcreg {

// Walks path from '/' one component at a time, following each symbolic link by hand, and
// checks that nobody but owners can change where it leads: every folder on the way, every link
// and the file it ends at belongs to one of owners and is writable by no one else (a sticky
// folder of root's, such as /tmp, may be writable by all: there, only an entry's owner may
// rename or remove it, and each entry passed through is checked in its turn). The path's
// components may then not change until one of owners changes them, so a later open or exec of
// the path gets the file checked. Gives the path the links lead to, with no link left in it;
// empty, with why in problem, when the path cannot be trusted so.
std::string trustedPath(const std::string& path, const std::vector<uid_t>& owners,
                        std::string& problem);

}  // namespace svcreg
