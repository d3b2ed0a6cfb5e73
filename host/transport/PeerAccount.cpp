#include "PeerAccount.h"

#include <unistd.h>

#include <atomic>
#include <unordered_map>

#include "LogLimiter.h"
#include "Mutex.h"

namespace svcreg {

namespace {

// Devices' accounts are numbered from here in the order the devices are first seen: in the
// upper half of the uid range, which systems leave to no user, and far from the values in it
// that are real (nfsnobody's 4294967294, and -1).
constexpr uid_t kFirstDeviceAccount = 0x80000000u;
// Device names come from the links, which take any name an insecure peer claims: the accounts
// given are bounded, and never taken back, so that no device is ever given another's.
constexpr std::size_t kMostDevices = 1 << 16;
static_assert(kFirstDeviceAccount > 65535 && kFirstDeviceAccount + kMostDevices < 0xFFFFFFFEu,
              "devices' accounts stay clear of the overflow uid, nfsnobody and -1");

// The accounts given, by device name; accounts given count them, and may be read without the
// lock, as accounts are given in order and never taken back.
class DeviceAccounts {
public:
    uid_t accountOf(const std::string& device) {
        MutexLock hold(mutex);
        const auto known = byName.find(device);
        if (known != byName.end()) return known->second;
        if (byName.size() >= kMostDevices) return kNoAccount;
        const uid_t account = kFirstDeviceAccount + static_cast<uid_t>(byName.size());
        byName.emplace(device, account);
        given.store(byName.size(), std::memory_order_release);
        return account;
    }
    bool isGiven(uid_t account) const {
        return account - kFirstDeviceAccount < given.load(std::memory_order_acquire);
    }

private:
    Mutex mutex;
    std::unordered_map<std::string, uid_t> byName TS_GUARDED_BY(mutex);
    std::atomic<std::size_t> given{0};
};

DeviceAccounts& deviceAccounts() {
    static DeviceAccounts accounts;
    return accounts;
}

}  // namespace

uid_t accountOf(const PeerCredentials& peer) {
    return peer.isRemote() ? accountOfDevice(peer.device) : peer.uid;
}

uid_t accountOfDevice(const std::string& device) {
    return deviceAccounts().accountOf(device);
}

bool isDeviceAccount(uid_t account) {
    return deviceAccounts().isGiven(account);
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
