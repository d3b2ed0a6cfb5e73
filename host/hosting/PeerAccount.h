#pragma once

#include <sys/types.h>

#include <string>

#include "ServiceRegistry/PeerCredentials.h"

namespace svcreg {

// The account a peer's changes are counted against, and its journal records kept under: a
// local peer's user, and for a caller on another device an account of its device, which all its
// users share and no local user has. Devices' accounts are taken from the upper half of the uid
// range (2^31 to 2^32-2), which systems leave unused for users; a device's is a hash of its
// name, the same in every run, so that two devices share one only by a rare collision.
uid_t accountOf(const PeerCredentials& peer);
// Whether account is another device's (see accountOf), never a local user's.
bool isDeviceAccount(uid_t account);
// account for a person: "uid 1000", or "a caller of another device".
std::string describeAccount(uid_t account);
// Whether peer may do everything: root or the daemon's own user, on this device.
bool isPrivileged(const PeerCredentials& peer);
// The key of peer's share of log lines (see LogLimiter): its user's, or its device's.
std::string logKeyOf(const PeerCredentials& peer);

}  // namespace svcreg
