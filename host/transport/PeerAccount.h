#pragma once

#include <sys/types.h>

#include <string>

#include "ServiceRegistry/PeerCredentials.h"

namespace svcreg {

// uid -1 means "no user" to the kernel: no peer's account.
constexpr uid_t kNoAccount = static_cast<uid_t>(-1);

// The account a peer's changes are counted against and its entries are owned by: a local peer's
// user, and for a caller on another device an account of its device, which all its users share
// and no other device has. Devices are given theirs as they are first seen, in this run, in a
// range that no local user has (see PeerAccount.cpp); kNoAccount for a device first seen after
// the daemon has given as many as it keeps.
uid_t accountOf(const PeerCredentials& peer);
// The account of device's callers (see accountOf).
uid_t accountOfDevice(const std::string& device);
// Whether account is one given to another device (see accountOf), which no local user has.
bool isDeviceAccount(uid_t account);
// account for a person: "uid 1000", or "a caller of another device".
std::string describeAccount(uid_t account);
// Whether peer may do everything: root or the daemon's own user, on this device.
bool isPrivileged(const PeerCredentials& peer);
// The key of peer's share of log lines (see LogLimiter): its user's, or its device's.
std::string logKeyOf(const PeerCredentials& peer);

}  // namespace svcreg
