#pragma once

#include <sys/types.h>

namespace svcreg {

// The effective user of process pid, as the kernel gives a peer's; -1 when it cannot be read
// (the process has ended).
uid_t effectiveUserOf(pid_t pid);

}  // namespace svcreg
