#pragma once

#include <string>

// What the daemon tells a service manager such as systemd, in a few lines of its own: the
// readiness notification ($NOTIFY_SOCKET). Without a service manager, it does nothing. The
// listening socket a service manager passes in is the host runtime's to take, as any service's
// (see HostFramework::bindChannel).

// Sends state (such as "READY=1") to $NOTIFY_SOCKET when it is set; true when sent or unset.
bool notifyServiceManager(const std::string& state);
