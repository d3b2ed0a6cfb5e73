#pragma once

#include <string>

#include "HostExport.h"

namespace svcreg {

// The channel the registry daemon serves unless told otherwise; the client's default too.
constexpr const char* kDefaultRegistryChannel = "svcreg";

// Where channel sockets live unless told otherwise: $XDG_RUNTIME_DIR/svcreg when that variable
// is set, else /tmp/svcreg-<uid>.
HOST_API std::string defaultRuntimeDirectory();

// The registry library beside the running program when it is there; else its bare file name,
// which the dynamic loader looks up in the program's run path and the system's.
HOST_API std::string defaultRegistryLibrary();

}  // namespace svcreg
