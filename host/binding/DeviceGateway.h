#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include "Connection.h"
#include "Frame.h"
#include "Mutex.h"
#include "RelayHandler.h"
#include "ServiceRegistry/DeviceCalls.h"
#include "ServiceRegistry/Outcome.h"
#include "Transport.h"

namespace svcreg {

// The gateway between this device's processes and other devices' (see DeviceCalls), in the
// process that serves the channel `@`: the registry daemon, when it federates.
//
// A connection a process makes to `@` carries the frames it sends to one channel NAME@DEVICE:
// at its first frame the gateway opens a tunnel to DEVICE, for the connection's user, and sends
// every frame through it; what comes back goes back over that connection. A tunnel another
// device opens is carried to its channel here over a relay connection (see
// Transport::openRelay), which vouches for the caller as the device's user. Either end closing,
// or the link to the device, closes the tunnel and the connections at both ends. A device holds
// at most kMaxTunnelsPerDevice tunnels here, or a quarter of the transport's relays when that is
// fewer, so that one device's tunnels leave the others room; and kMaxTunnelsPerUser for one of
// its users. A user here holds at most kMaxTunnelsPerUser to one device. Nothing waits: a message
// the link cannot take closes its tunnel.
class DeviceGateway final : public DeviceCalls, public RelayHandler {
public:
    static constexpr std::size_t kMaxTunnelsPerDevice = 256;
    static constexpr std::size_t kMaxTunnelsPerUser = 64;
    static constexpr std::size_t kMaxUserNames = 256;  // kept, for the tunnels' Opens
    // Each Open makes a relay, on the thread that serves every device's link: a device that
    // opens and closes tunnels past this many a second has its Opens refused.
    static constexpr std::size_t kMaxOpensPerSecond = 2 * kMaxTunnelsPerDevice;

    // serve serves the channel `@` when asked to carry over.
    DeviceGateway(Transport& transport, std::function<Outcome()> serve);

    bool carryOver(Sender sender, std::string& error) override;
    void received(const std::string& device, DeviceMessage message) override;
    void linkLost(const std::string& device) override;

    // A frame from a process here: true when it is the gateway's to carry, as one for a channel
    // of another device or one on a connection that carries a tunnel.
    bool takesFrame(const std::shared_ptr<Connection>& from, Frame& frame);
    // A reply: true when it came on a connection that carries a tunnel, which took it.
    bool takesReply(const Connection& from, Frame& frame);
    // A connection accepted here has closed: so does its tunnel, if it carries one.
    void callerClosed(const Connection& connection);

    void relayFrame(const Connection& relay, Frame& frame) override;
    void relayClosed(const Connection& relay) override;

private:
    // A tunnel opened here, for a caller's connection to a channel of another device.
    struct Opened {
        std::string device;
        std::string destination;  // NAME@DEVICE
        std::shared_ptr<Connection> caller;
    };
    // A tunnel another device opened, carried to a channel here over a relay connection; the
    // relay is null while it is being made.
    struct Served {
        std::string channel;
        std::string user;
        std::shared_ptr<Connection> relay;
    };
    using ServedKey = std::pair<std::string, std::uint64_t>;  // the device, its tunnel
    using OpenedUser = std::pair<std::string, uid_t>;         // the device, a user here
    using ServedUser = std::pair<std::string, std::string>;   // the device, a user there

    bool isServing() const { return serving.load(std::memory_order_acquire); }
    // False for a connection that carries no tunnel opened here.
    bool findOpened(const Connection& caller, std::uint64_t& tunnel, Opened& found);
    void openTunnel(const std::shared_ptr<Connection>& caller, Frame& frame);
    // The name of a user here, looked up once (the lookup may ask a name service), or its id in
    // digits when it has none: the other device sees the caller as that user.
    std::string userName(uid_t uid);
    // Lists the tunnel unless its user holds as many to its device as a user may.
    bool listOpened(std::uint64_t tunnel, const Opened& tunnelOpened);
    void sendThrough(std::uint64_t tunnel, const Opened& opened, Frame& frame);
    void serveOpen(const std::string& device, const DeviceMessage& open);
    // Whether device may open one more tunnel this second.
    bool paceOpen(const std::string& device);
    // Why device may not open a tunnel to open.channel, for open.user; empty when it may.
    std::string openRefusal(const std::string& device, const DeviceMessage& open);
    void connectRelay(const ServedKey& key, const std::string& channel, const std::string& user);
    void toServed(const std::string& device, const DeviceMessage& message);
    void toCaller(const std::string& device, const DeviceMessage& message);
    // Sends a message of tunnel, a Frame (bytes encoding one) or a Close, in share of the
    // link's queue (see Sender); fails, saying why, when it cannot go.
    Outcome sendMessage(const std::string& device, DeviceMessage::Kind kind, std::uint64_t tunnel,
                        bool fromOpener, const std::string& share,
                        std::string bytes = std::string());

    // Answers a frame of device for a tunnel not open here with a Close.
    void closeUnknown(const std::string& device, std::uint64_t tunnel, bool fromOpener);
    // Close the tunnel, if still open, and the connection at this end; tellDevice sends a Close.
    // device, unless empty, closes it only when it is a tunnel with that device.
    void closeOpened(std::uint64_t tunnel, bool tellDevice, std::string device = std::string());
    void closeServed(const ServedKey& key, bool tellDevice);
    // The caller's connection of the tunnel, no longer listed; null when it was not open (with
    // device, unless empty). device is then the one it was with.
    std::shared_ptr<Connection> forgetOpened(std::uint64_t tunnel, std::string& device);
    // False when the tunnel was not open; forgotten is what it was, its relay no longer listed.
    bool forgetServed(const ServedKey& key, Served& forgotten);

    Transport& transport;
    const std::size_t maxTunnelsPerDevice;
    const std::function<Outcome()> serve;
    Sender sender;  // set once by carryOver, before serving
    std::atomic<bool> serving{false};
    std::atomic<std::uint64_t> nextTunnel{1};

    Mutex mutex;  // guards the tunnels; never held while a connection is closed or sent to
    std::map<std::uint64_t, Opened> opened TS_GUARDED_BY(mutex);
    std::map<const Connection*, std::uint64_t> openedByCaller TS_GUARDED_BY(mutex);
    std::map<OpenedUser, std::size_t> openedPerUser TS_GUARDED_BY(mutex);
    std::map<uid_t, std::string> userNames TS_GUARDED_BY(mutex);
    std::map<ServedKey, Served> served TS_GUARDED_BY(mutex);
    std::map<const Connection*, ServedKey> servedByRelay TS_GUARDED_BY(mutex);
    std::map<std::string, std::size_t> servedPerDevice TS_GUARDED_BY(mutex);
    std::map<ServedUser, std::size_t> servedPerUser TS_GUARDED_BY(mutex);
    std::chrono::steady_clock::time_point opensSince TS_GUARDED_BY(mutex);
    std::map<std::string, std::size_t> opensThisSecond TS_GUARDED_BY(mutex);  // by device
};

}  // namespace svcreg
