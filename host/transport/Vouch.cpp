#include "Vouch.h"

#include "HostLog.h"
#include "PeerAccount.h"
#include "ServiceRegistry/RemoteDevices.h"
#include "Transport.h"

namespace svcreg {

bool isVouchableUser(const std::string& name) {
    if (name.empty() || name.size() > kMaxVouchedUserName) return false;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) return false;
    }
    return true;
}

Frame vouchFrame(const std::string& device, const std::string& user) {
    Frame frame;
    frame.kind = Frame::Kind::Vouch;
    frame.data = device + "\n" + user;
    return frame;
}

bool readVouch(const std::string& data, std::string& device, std::string& user) {
    const std::size_t newline = data.find('\n');
    if (newline == std::string::npos) return false;
    device = data.substr(0, newline);
    user = data.substr(newline + 1);
    return isDeviceName(device) && isVouchableUser(user);
}

// The system daemon's runtime directory the service manager makes for root: its user is the
// registry's.
bool Transport::isRegistrysUser(uid_t uid) const {
    return uid == 0 || uid == directory.owner() || uid == registryUser;
}

// Only the registry daemon may vouch. A connection vouched for once keeps that caller: its
// peer's later frames are the caller's.
std::string Transport::vouchRefusal(const Connection& connection, const Frame& vouch,
                                    PeerCredentials& caller) const {
    if (!connection.peerChannel().empty()) return "it came on a connection this process made";
    if (connection.reader.framesTaken() != 1) return "it is not the connection's first frame";
    const PeerCredentials& voucher = connection.socketCredentials();
    if (!isRegistrysUser(voucher.uid)) {
        return "only root, the owner of the runtime directory and the registry's user may vouch";
    }
    if (!readVouch(vouch.data, caller.device, caller.user)) return "it names no device and user";
    return std::string();
}

bool Transport::takeVouch(Connection& connection, const Frame& vouch) {
    PeerCredentials caller;
    const std::string refusal = vouchRefusal(connection, vouch, caller);
    if (!refusal.empty()) {
        HOST_PEER_FAILURE(LogLimiter::aboutUser(connection.socketCredentials().uid),
                          "Vouch from %s refused: %s; closing its connection",
                          connection.credentials().describe().c_str(), refusal.c_str());
        return false;
    }
    if (!handler.admitsPeer(caller, std::string())) return false;
    const uid_t account = accountOfDevice(caller.device);
    const UserBudget::Verdict verdict = vouchedConnections.take(account, 1);
    if (verdict != UserBudget::Verdict::Taken) {
        HOST_PEER_FAILURE(LogLimiter::aboutDevice(caller.device),
                          "Vouch from %s for %s refused: %s for its device; closing its "
                          "connection",
                          connection.socketCredentials().describe().c_str(),
                          caller.describe().c_str(),
                          vouchedConnections.refusal("connections", verdict).c_str());
        return false;
    }
    HOST_TRACE(4, "%s vouches for %s", connection.socketCredentials().describe().c_str(),
               caller.describe().c_str());
    // Under the lock a drop takes it off the list with: a drop gives back what the connection
    // counts in as it finds it, before the vouch or after, never half-way.
    bool listed = false;
    {
        MutexLock hold(mutex);
        const auto found = connections.find(connection.fd());
        listed = found != connections.end() && found->second.get() == &connection;
        if (listed) connection.vouchFor(std::move(caller));
    }
    if (!listed) {
        vouchedConnections.give(account, 1);
        return false;
    }
    acceptedConnections.give(connection.socketCredentials().uid, 1);
    return true;
}

}  // namespace svcreg
