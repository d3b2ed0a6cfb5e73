#pragma once

/// \file
/// The defaults the daemon, the client and other hosts share: channel, group, folders, user,
/// library and version. The functions read the environment and the file system anew at each
/// call and may be called from any thread.

#include <chrono>
#include <optional>
#include <string>

#include "HostExport.h"

/// The host runtime: the registry served on Unix-domain sockets, and a program's line to it.
namespace svcreg {

/// The channel the registry daemon serves unless told otherwise; the client's default too.
constexpr const char* kDefaultRegistryChannel = "svcreg";
/// The group whose members may use the registry unless told otherwise; services' sockets are
/// given to it by default.
constexpr const char* kDefaultAccessGroup = "svcreg";

/// Where programs look for channel sockets unless told otherwise: $SVCREG_RUNTIME_DIR when set,
/// else /run/svcreg when it exists, else the user's own folder ($XDG_RUNTIME_DIR/svcreg, or
/// /tmp/svcreg-1000 for uid 1000 without that variable).
HOST_API std::string defaultRuntimeDirectory();
/// Where the daemon serves unless told otherwise: $SVCREG_RUNTIME_DIR when set, else
/// /run/svcreg for root, else the user's own folder.
HOST_API std::string defaultDaemonRuntimeDirectory();

/// The user the system daemon runs as unless told otherwise. The launcher of declared services
/// takes only this one when it runs setuid, whatever the environment says.
constexpr const char* kDefaultRegistryUser = "svcreg";

/// The user the system daemon runs as, whose registry clients trust besides root's and their
/// own user's: $SVCREG_REGISTRY_USER when set, else kDefaultRegistryUser.
HOST_API std::string defaultRegistryUser();

/// The installed launcher of declared services, svcreg-launch in the package's libexec folder
/// (/usr/libexec/svcreg/svcreg-launch for the prefix /usr): the daemon starts a declared service
/// through it unless told otherwise (svcregd --launcher).
HOST_API std::string defaultLauncher();

/// The registry library beside the running program when it is there; else its bare file name,
/// which the dynamic loader looks up in the program's run path and the system's.
HOST_API std::string defaultRegistryLibrary();

/// How long a declared service started by the registry may stay with nobody connected before
/// it ends: $SVCREG_IDLE_EXIT_SEC, which the registry sets from the declaration's IdleExitSec=
/// (1 to 86400 seconds); none when it is not set, 0 or not such a number. See
/// HostFramework::whenIdle().
HOST_API std::optional<std::chrono::seconds> declaredIdleExit();

/// The version of this host runtime, the daemon and the client: "1.0.0".
HOST_API std::string packageVersion();

}  // namespace svcreg
