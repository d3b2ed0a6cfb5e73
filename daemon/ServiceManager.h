#pragma once

#include <string>

// What the daemon takes from and tells a service manager such as systemd, in a few lines of
// its own: a listening socket passed in ($LISTEN_PID, $LISTEN_FDS) and the readiness
// notification ($NOTIFY_SOCKET). Without a service manager, both do nothing.

// The listening socket passed to this process, made non-blocking; -1 when none was passed.
// Fails, with a message, when what was passed is not a listening Unix stream socket. Clears
// the variables, so that no child inherits them.
bool takePassedListener(int& listener, std::string& error);

// Sends state (such as "READY=1") to $NOTIFY_SOCKET when it is set; true when sent or unset.
bool notifyServiceManager(const std::string& state);
