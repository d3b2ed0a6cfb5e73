#include "PeerAccount.h"

#include <unistd.h>

#include <cstdint>

#include "LogLimiter.h"

namespace svcreg {

namespace {

constexpr uid_t kFirstDeviceAccount = 0x80000000u;
// uid -1 means "no user" to the kernel: no device is given it.
constexpr uid_t kNoAccount = static_cast<uid_t>(-1);

// FNV-1a, 32 bits: stable across runs and builds, unlike std::hash.
std::uint32_t hashOf(const std::string& name) {
    std::uint32_t hash = 2166136261u;
    for (const char c : name) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 16777619u;
    }
    return hash;
}

}  // namespace

uid_t accountOf(const PeerCredentials& peer) {
    if (!peer.isRemote()) return peer.uid;
    const uid_t account = kFirstDeviceAccount | hashOf(peer.device);
    return account == kNoAccount ? account - 1 : account;
}

bool isDeviceAccount(uid_t account) {
    return account >= kFirstDeviceAccount && account != kNoAccount;
}

std::string describeAccount(uid_t account) {
    if (isDeviceAccount(account)) return "a caller of another device";
    return "uid " + std::to_string(static_cast<long>(account));
}

bool isPrivileged(const PeerCredentials& peer) {
    return !peer.isRemote() && (peer.isRoot() || peer.uid == geteuid());
}

std::string logKeyOf(const PeerCredentials& peer) {
    return LogLimiter::aboutPeer(peer);
}

}  // namespace svcreg
