#pragma once

#include <cstddef>

#include "RuntimeDirectory.h"

namespace svcreg {

// Removes the files that processes which ended without cleaning up left in directory: the lock
// file of each channel nobody serves, and its socket unless something still listens there (a
// service manager waiting to start the channel's service, say). A channel counts as unserved
// only when this process takes its lock, which it holds while removing the files, as a
// process claiming the channel would: so it never removes a live channel's files. Lock files
// this process may not open are left. Returns how many channels it cleared.
std::size_t removeStaleFiles(const RuntimeDirectory& directory);

}  // namespace svcreg
