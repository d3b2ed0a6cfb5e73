#include "DeviceGateway.h"

#include <algorithm>
#include <vector>

#include "AccountNames.h"
#include "FrameCodec.h"
#include "HostLog.h"
#include "OutgoingCalls.h"
#include "PeerAccount.h"
#include "ServiceRegistry/RemoteDevices.h"
#include "ServiceRegistry/ServiceRecord.h"
#include "TunnelFrames.h"
#include "Vouch.h"

namespace svcreg {

namespace {

std::string nameOf(const std::string& remoteChannel) {
    return remoteChannel.substr(0, remoteChannel.rfind('@'));
}

// The share of the queue to a device that a tunnel's messages take: its user's, a user here
// for a tunnel opened here, a user of the device for one it opened. The gateway's own
// messages, answers to the device, take the empty share.
std::string shareOfUserHere(uid_t uid) {
    return "uid " + std::to_string(uid);
}
std::string shareOfDeviceUser(const std::string& user) {
    return "user " + user;
}

}  // namespace

DeviceGateway::DeviceGateway(Transport& transport, std::function<Outcome()> serve)
    : transport(transport),
      maxTunnelsPerDevice(
          std::min(kMaxTunnelsPerDevice, std::max<std::size_t>(1, transport.relayCap() / 4))),
      serve(std::move(serve)) {}

bool DeviceGateway::carryOver(Sender carrier, std::string& error) {
    sender = std::move(carrier);
    const Outcome served = serve();
    if (!served) {
        error = served.reason();
        return false;
    }
    // Release, paired with the acquire in isServing: who sees it serving sees the sender.
    serving.store(true, std::memory_order_release);
    return true;
}

Outcome DeviceGateway::sendMessage(const std::string& device, DeviceMessage::Kind kind,
                                   std::uint64_t tunnel, bool fromOpener, const std::string& share,
                                   std::string bytes) {
    DeviceMessage message;
    message.kind = kind;
    message.tunnel = tunnel;
    message.fromOpener = fromOpener;
    message.frame = std::move(bytes);
    return sender(device, std::move(message), share);
}

// A frame of a tunnel this side does not hold (closed here, or never opened) is answered with
// a Close, so that the other end does not wait on it.
void DeviceGateway::closeUnknown(const std::string& device, std::uint64_t tunnel, bool fromOpener) {
    HOST_PEER_TRACE(3, LogLimiter::aboutDevice(device),
                    "Frame of device %s for tunnel %llu, not open: closed", device.c_str(),
                    static_cast<unsigned long long>(tunnel));
    sendMessage(device, DeviceMessage::Kind::Close, tunnel, fromOpener, std::string());
}

// The caller's side.

bool DeviceGateway::findOpened(const Connection& caller, std::uint64_t& tunnel, Opened& found) {
    MutexLock hold(mutex);
    auto by = openedByCaller.find(&caller);
    if (by == openedByCaller.end()) return false;
    tunnel = by->second;
    found = opened.at(tunnel);
    return true;
}

// Only a connection a process made to this one carries a tunnel, not one this process made.
bool DeviceGateway::takesFrame(const std::shared_ptr<Connection>& from, Frame& frame) {
    if (!isServing() || !from->peerChannel().empty()) return false;
    std::uint64_t tunnel = 0;
    Opened found;
    if (findOpened(*from, tunnel, found)) {
        sendThrough(tunnel, found, frame);
        return true;
    }
    if (!transport.runtimeDirectory().isRemoteChannel(frame.destination)) return false;
    openTunnel(from, frame);
    return true;
}

bool DeviceGateway::takesReply(const Connection& from, Frame& frame) {
    if (!isServing()) return false;
    std::uint64_t tunnel = 0;
    Opened found;
    if (!findOpened(from, tunnel, found)) return false;
    sendThrough(tunnel, found, frame);
    return true;
}

// The tunnel is the caller's connection's from its first frame on, whatever comes of it; a
// caller that another device vouched for goes no further, to a third.
void DeviceGateway::openTunnel(const std::shared_ptr<Connection>& caller, Frame& frame) {
    const PeerCredentials& peer = caller->credentials();
    if (peer.isRemote()) {
        HOST_PEER_FAILURE(LogLimiter::aboutDevice(peer.device),
                          "Frame from %s for channel '%s' of another device dropped: a caller of "
                          "another device is carried no further",
                          peer.describe().c_str(), frame.destination.c_str());
        return;
    }
    Opened tunnelOpened{deviceOfChannel(frame.destination), frame.destination, caller};
    const std::uint64_t tunnel = nextTunnel.fetch_add(1, std::memory_order_relaxed);
    if (!listOpened(tunnel, tunnelOpened)) {
        HOST_PEER_FAILURE(LogLimiter::aboutUser(peer.uid),
                          "Tunnel of %s to channel '%s' refused: the user holds %zu tunnels to "
                          "device %s, as many as a user may; closing its connection",
                          peer.describe().c_str(), frame.destination.c_str(), kMaxTunnelsPerUser,
                          tunnelOpened.device.c_str());
        transport.close(caller);
        return;
    }
    DeviceMessage open;
    open.kind = DeviceMessage::Kind::Open;
    open.tunnel = tunnel;
    open.user = userName(peer.uid);
    open.channel = nameOf(frame.destination);
    // A caller closed before it was listed is not told of, and one closed since may have sent
    // its Close before this Open: its tunnel closes here, and the Close goes after the Open.
    const std::string share = shareOfUserHere(peer.uid);
    const Outcome sent = sender(tunnelOpened.device, std::move(open), share);
    if (!sent || caller->isClosed()) {
        if (!sent) {
            HOST_PEER_FAILURE(LogLimiter::aboutUser(peer.uid),
                              "Tunnel of %s to channel '%s' not opened: %s; closing its connection",
                              peer.describe().c_str(), frame.destination.c_str(),
                              sent.reason().c_str());
        }
        closeOpened(tunnel, false);
        sendMessage(tunnelOpened.device, DeviceMessage::Kind::Close, tunnel, true, share);
        return;
    }
    HOST_TRACE(4, "Tunnel %llu of %s to channel '%s' opened",
               static_cast<unsigned long long>(tunnel), peer.describe().c_str(),
               frame.destination.c_str());
    sendThrough(tunnel, tunnelOpened, frame);
}

std::string DeviceGateway::userName(uid_t uid) {
    {
        MutexLock hold(mutex);
        auto known = userNames.find(uid);
        if (known != userNames.end()) return known->second;
    }
    std::string name = nameOfUser(uid);
    MutexLock hold(mutex);
    if (userNames.size() >= kMaxUserNames) userNames.clear();
    userNames.emplace(uid, name);
    return name;
}

bool DeviceGateway::listOpened(std::uint64_t tunnel, const Opened& tunnelOpened) {
    MutexLock hold(mutex);
    std::size_t& ofUser =
        openedPerUser[OpenedUser(tunnelOpened.device, tunnelOpened.caller->credentials().uid)];
    if (ofUser >= kMaxTunnelsPerUser) return false;
    ++ofUser;
    opened.emplace(tunnel, tunnelOpened);
    openedByCaller.emplace(tunnelOpened.caller.get(), tunnel);
    return true;
}

// A frame naming another destination than the tunnel's first is dropped: the tunnel reaches
// one channel.
void DeviceGateway::sendThrough(std::uint64_t tunnel, const Opened& tunnelOpened, Frame& frame) {
    const PeerCredentials& peer = tunnelOpened.caller->credentials();
    const bool reply = frame.kind == Frame::Kind::Reply;
    if (!crossesDevices(frame.kind) || (!reply && frame.destination != tunnelOpened.destination)) {
        HOST_PEER_FAILURE(LogLimiter::aboutUser(peer.uid),
                          "Frame of kind %d from %s for channel '%s' dropped: its tunnel carries "
                          "messages, calls and replies to '%s' only",
                          static_cast<int>(frame.kind), peer.describe().c_str(),
                          frame.destination.c_str(), tunnelOpened.destination.c_str());
        return;
    }
    if (!reply) frame.destination = nameOf(frame.destination);
    std::string bytes;
    const Outcome sent = appendEncodedFrame(frame, bytes)
                             ? sendMessage(tunnelOpened.device, DeviceMessage::Kind::Frame, tunnel,
                                           true, shareOfUserHere(peer.uid), std::move(bytes))
                             : Outcome(Status::Invalid, "the frame is too large to encode");
    if (!sent) {
        HOST_PEER_FAILURE(LogLimiter::aboutUser(peer.uid),
                          "The link to device %s does not take a frame of %s: %s; closing its "
                          "tunnel",
                          tunnelOpened.device.c_str(), peer.describe().c_str(),
                          sent.reason().c_str());
        closeOpened(tunnel, true);
    }
}

void DeviceGateway::callerClosed(const Connection& connection) {
    std::uint64_t tunnel = 0;
    Opened found;
    if (findOpened(connection, tunnel, found)) closeOpened(tunnel, true);
}

// The other device's frames go back over the caller's connection, as replies do.
void DeviceGateway::toCaller(const std::string& device, const DeviceMessage& message) {
    std::shared_ptr<Connection> caller;
    {
        MutexLock hold(mutex);
        auto found = opened.find(message.tunnel);
        if (found != opened.end() && found->second.device == device) caller = found->second.caller;
    }
    if (caller == nullptr) {
        closeUnknown(device, message.tunnel, true);
        return;
    }
    Frame frame;
    if (!decodeTunnelFrame(message.frame, frame) || !crossesDevices(frame.kind)) {
        HOST_PEER_FAILURE(LogLimiter::aboutDevice(device),
                          "Device %s sent a frame that is not one of its tunnel's: closing the "
                          "tunnel",
                          device.c_str());
        closeOpened(message.tunnel, true);
        return;
    }
    nameSenderOnDevice(frame, device);
    // Named on this device, the frame may pass what a process may send, by what readers take.
    const SendResult sent = transport.reply(*caller, frame, {}, kMaxReadBodySize);
    if (sent != SendResult::Queued) {
        HOST_PEER_FAILURE(LogLimiter::aboutPeer(caller->credentials()),
                          "A frame from device %s to %s not sent: %s; closing its tunnel",
                          device.c_str(), caller->credentials().describe().c_str(),
                          outcomeOf(sent, frame.destination).reason().c_str());
        closeOpened(message.tunnel, true);
    }
}

std::shared_ptr<Connection> DeviceGateway::forgetOpened(std::uint64_t tunnel, std::string& device) {
    MutexLock hold(mutex);
    auto found = opened.find(tunnel);
    if (found == opened.end() || (!device.empty() && found->second.device != device)) {
        return nullptr;
    }
    std::shared_ptr<Connection> caller = std::move(found->second.caller);
    device = found->second.device;
    openedByCaller.erase(caller.get());
    opened.erase(found);
    const OpenedUser user(device, caller->credentials().uid);
    if (--openedPerUser[user] == 0) openedPerUser.erase(user);
    return caller;
}

void DeviceGateway::closeOpened(std::uint64_t tunnel, bool tellDevice, std::string device) {
    const std::shared_ptr<Connection> caller = forgetOpened(tunnel, device);
    if (caller == nullptr) return;
    if (tellDevice) {
        sendMessage(device, DeviceMessage::Kind::Close, tunnel, true,
                    shareOfUserHere(caller->credentials().uid));
    }
    transport.close(caller);
}

// The serving side.

void DeviceGateway::received(const std::string& device, DeviceMessage message) {
    if (!isServing()) return;
    switch (message.kind) {
        case DeviceMessage::Kind::Open:
            if (message.fromOpener) {
                serveOpen(device, message);
            } else {
                HOST_PEER_FAILURE(LogLimiter::aboutDevice(device),
                                  "Open of device %s for tunnel %llu dropped: only the opener of "
                                  "a tunnel opens it",
                                  device.c_str(), static_cast<unsigned long long>(message.tunnel));
            }
            break;
        case DeviceMessage::Kind::Frame:
            if (message.fromOpener) {
                toServed(device, message);
            } else {
                toCaller(device, message);
            }
            break;
        case DeviceMessage::Kind::Close:
            if (message.fromOpener) {
                closeServed(ServedKey(device, message.tunnel), false);
            } else {
                closeOpened(message.tunnel, false, device);
            }
            break;
    }
}

std::string DeviceGateway::openRefusal(const std::string& device, const DeviceMessage& open) {
    const RuntimeDirectory& directory = transport.runtimeDirectory();
    if (!isDeviceName(device)) return "it is not a device's name";
    if (!directory.isValidChannel(open.channel) ||
        RuntimeDirectory::isPrivateChannel(open.channel) ||
        directory.isRemoteChannel(open.channel) ||
        open.channel == RuntimeDirectory::kGatewayChannel) {
        return "it names no channel that may be reached from another device";
    }
    if (!isVouchableUser(open.user)) return "it names no user that may be vouched for";
    MutexLock hold(mutex);
    if (served.count(ServedKey(device, open.tunnel)) != 0) return "the tunnel is open already";
    if (servedPerDevice[device] >= maxTunnelsPerDevice) {
        return "the device holds " + std::to_string(maxTunnelsPerDevice) +
               " tunnels, as many as a device may";
    }
    std::size_t& ofUser = servedPerUser[ServedUser(device, open.user)];
    if (ofUser >= kMaxTunnelsPerUser) {
        return "the user holds " + std::to_string(kMaxTunnelsPerUser) +
               " tunnels, as many as a user of a device may";
    }
    ++ofUser;
    ++servedPerDevice[device];
    served.emplace(ServedKey(device, open.tunnel), Served{open.channel, open.user, nullptr});
    return std::string();
}

void DeviceGateway::serveOpen(const std::string& device, const DeviceMessage& open) {
    if (!paceOpen(device)) {
        HOST_PEER_FAILURE(LogLimiter::aboutDevice(device),
                          "Open of device %s for tunnel %llu refused: it opened %zu tunnels this "
                          "second, as many as a device may",
                          device.c_str(), static_cast<unsigned long long>(open.tunnel),
                          kMaxOpensPerSecond);
        sendMessage(device, DeviceMessage::Kind::Close, open.tunnel, false, std::string());
        return;
    }
    const std::string refusal = openRefusal(device, open);
    if (refusal.empty()) {
        connectRelay(ServedKey(device, open.tunnel), open.channel, open.user);
        return;
    }
    HOST_PEER_FAILURE(LogLimiter::aboutDevice(device),
                      "Tunnel of device %s to channel '%s' for user '%s' refused: %s",
                      device.c_str(), open.channel.c_str(), open.user.c_str(), refusal.c_str());
    sendMessage(device, DeviceMessage::Kind::Close, open.tunnel, false, std::string());
}

// Counted in one-second windows; the map holds only the devices that opened in this one.
bool DeviceGateway::paceOpen(const std::string& device) {
    const auto now = std::chrono::steady_clock::now();
    MutexLock hold(mutex);
    if (now - opensSince >= std::chrono::seconds(1)) {
        opensSince = now;
        opensThisSecond.clear();
    }
    return ++opensThisSecond[device] <= kMaxOpensPerSecond;
}

// The relay is listed once made, unless its tunnel has closed meanwhile (its link lost); one
// that closed before it was listed is not told of, and its tunnel closes here.
void DeviceGateway::connectRelay(const ServedKey& key, const std::string& channel,
                                 const std::string& user) {
    SendResult failure = SendResult::Refused;
    std::shared_ptr<Connection> relay = transport.openRelay(
        channel, vouchFrame(key.first, user), *this, accountOfDevice(key.first), failure);
    if (relay == nullptr) {
        HOST_PEER_FAILURE(LogLimiter::aboutDevice(key.first),
                          "Tunnel of device %s to channel '%s' for user '%s' refused: %s",
                          key.first.c_str(), channel.c_str(), user.c_str(),
                          outcomeOf(failure, channel).reason().c_str());
        closeServed(key, true);
        return;
    }
    bool listed = false;
    {
        MutexLock hold(mutex);
        auto found = served.find(key);
        if (found != served.end()) {
            found->second.relay = relay;
            servedByRelay.emplace(relay.get(), key);
            listed = true;
        }
    }
    if (!listed) {
        transport.close(relay);
    } else if (relay->isClosed()) {
        closeServed(key, true);
    }
}

void DeviceGateway::toServed(const std::string& device, const DeviceMessage& message) {
    const ServedKey key(device, message.tunnel);
    Served tunnel;
    {
        MutexLock hold(mutex);
        auto found = served.find(key);
        if (found != served.end()) tunnel = found->second;
    }
    if (tunnel.channel.empty()) {
        closeUnknown(device, message.tunnel, false);
        return;
    }
    if (tunnel.relay == nullptr) return;
    Frame frame;
    if (!decodeTunnelFrame(message.frame, frame)) {
        HOST_PEER_FAILURE(LogLimiter::aboutDevice(device),
                          "Device %s sent a malformed frame: closing its tunnel to '%s'",
                          device.c_str(), tunnel.channel.c_str());
        closeServed(key, true);
        return;
    }
    const bool reply = frame.kind == Frame::Kind::Reply;
    if (!crossesDevices(frame.kind) || (!reply && frame.destination != tunnel.channel)) {
        HOST_PEER_FAILURE(LogLimiter::aboutDevice(device),
                          "Frame of kind %d from device %s for channel '%s' dropped: its tunnel "
                          "carries messages, calls and replies to '%s' only",
                          static_cast<int>(frame.kind), device.c_str(), frame.destination.c_str(),
                          tunnel.channel.c_str());
        return;
    }
    nameSenderOnDevice(frame, device);
    const SendResult sent = transport.reply(*tunnel.relay, frame, {}, kMaxReadBodySize);
    if (sent != SendResult::Queued) {
        HOST_PEER_FAILURE(LogLimiter::aboutDevice(device),
                          "A frame from device %s not sent: %s; closing its tunnel", device.c_str(),
                          outcomeOf(sent, tunnel.channel).reason().c_str());
        closeServed(key, true);
    }
}

// What the relay's peer sends goes back to the device that opened the tunnel, and only there.
void DeviceGateway::relayFrame(const Connection& relay, Frame& frame) {
    ServedKey key;
    std::string user;
    {
        MutexLock hold(mutex);
        auto found = servedByRelay.find(&relay);
        if (found != servedByRelay.end()) {
            key = found->second;
            user = served.at(key).user;
        }
    }
    if (key.first.empty()) {
        HOST_PEER_FAILURE(LogLimiter::aboutPeer(relay.credentials()),
                          "Frame of kind %d from channel '%s' dropped: it came before its tunnel "
                          "was listed, or after it closed",
                          static_cast<int>(frame.kind), relay.peerChannel().c_str());
        return;
    }
    if (!crossesDevices(frame.kind) || !nameDestinationOnDevice(frame, key.first)) {
        HOST_PEER_FAILURE(LogLimiter::aboutPeer(relay.credentials()),
                          "Frame of kind %d from channel '%s' for '%s' dropped: its tunnel "
                          "carries messages, calls and replies to device %s only",
                          static_cast<int>(frame.kind), relay.peerChannel().c_str(),
                          frame.destination.c_str(), key.first.c_str());
        return;
    }
    std::string bytes;
    const Outcome sent = appendEncodedFrame(frame, bytes)
                             ? sendMessage(key.first, DeviceMessage::Kind::Frame, key.second, false,
                                           shareOfDeviceUser(user), std::move(bytes))
                             : Outcome(Status::Invalid, "the frame is too large to encode");
    if (!sent) {
        HOST_PEER_FAILURE(LogLimiter::aboutPeer(relay.credentials()),
                          "The link to device %s does not take a frame from channel '%s' for "
                          "user '%s': %s; closing its tunnel",
                          key.first.c_str(), relay.peerChannel().c_str(), user.c_str(),
                          sent.reason().c_str());
        closeServed(key, true);
    }
}

void DeviceGateway::relayClosed(const Connection& relay) {
    ServedKey key;
    {
        MutexLock hold(mutex);
        auto found = servedByRelay.find(&relay);
        if (found == servedByRelay.end()) return;
        key = found->second;
    }
    closeServed(key, true);
}

bool DeviceGateway::forgetServed(const ServedKey& key, Served& forgotten) {
    MutexLock hold(mutex);
    auto found = served.find(key);
    if (found == served.end()) return false;
    forgotten = std::move(found->second);
    if (forgotten.relay != nullptr) servedByRelay.erase(forgotten.relay.get());
    const ServedUser user(key.first, forgotten.user);
    served.erase(found);
    if (--servedPerDevice[key.first] == 0) servedPerDevice.erase(key.first);
    if (--servedPerUser[user] == 0) servedPerUser.erase(user);
    return true;
}

// A tunnel whose relay is still being made closes too: the relay is closed once made.
void DeviceGateway::closeServed(const ServedKey& key, bool tellDevice) {
    Served tunnel;
    if (!forgetServed(key, tunnel)) return;
    if (tellDevice) {
        sendMessage(key.first, DeviceMessage::Kind::Close, key.second, false,
                    shareOfDeviceUser(tunnel.user));
    }
    if (tunnel.relay != nullptr) transport.close(tunnel.relay);
}

void DeviceGateway::linkLost(const std::string& device) {
    std::vector<std::uint64_t> callers;
    std::vector<ServedKey> relays;
    {
        MutexLock hold(mutex);
        for (const auto& [tunnel, tunnelOpened] : opened) {
            if (tunnelOpened.device == device) callers.push_back(tunnel);
        }
        for (const auto& entry : served) {
            if (entry.first.first == device) relays.push_back(entry.first);
        }
    }
    for (const std::uint64_t tunnel : callers) closeOpened(tunnel, false);
    for (const ServedKey& key : relays) closeServed(key, false);
    if (!callers.empty() || !relays.empty()) {
        HOST_TRACE(3, "The link to device %s is lost: %zu tunnels closed", device.c_str(),
                   callers.size() + relays.size());
    }
}

}  // namespace svcreg
