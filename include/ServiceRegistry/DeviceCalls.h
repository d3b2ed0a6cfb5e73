#pragma once

/// \file
/// Calls between devices: how the link that joins this device's registry daemon to another's
/// carries the frames of a channel `NAME@DEVICE`, and hands over what comes back.
///
/// A process sends to `NAME@DEVICE` as to any channel: its transport takes the frames to this
/// device's gateway (the registry daemon, which serves the channel `@`), over a connection of
/// their own. The gateway opens a tunnel for that connection: one stream over the link to
/// DEVICE, whose gateway connects to `NAME` there on behalf of the caller, vouching for it as
/// the caller's user on this device. Frames go through the tunnel both ways; when either end
/// closes, or the link is lost, the tunnel closes, and so do the connections at both ends.

#include <cstdint>
#include <functional>
#include <string>

#include "ServiceRegistry/Outcome.h"

namespace svcreg {

/// One message of a tunnel, between the gateways of two devices.
struct DeviceMessage {
    /// What the message is to the tunnel.
    enum class Kind : std::uint8_t {
        Open = 1,   ///< From the caller's side: a tunnel to channel, for user.
        Frame = 2,  ///< One frame of the tunnel, either way, in the transport's encoding.
        Close = 3,  ///< Either way: the tunnel is closed, and so is the connection at its end.
    };

    Kind kind = Kind::Frame;  ///< What the message is.
    /// The tunnel, numbered by the device that opened it: with fromOpener, the two devices'
    /// numbers never meet.
    std::uint64_t tunnel = 0;
    /// True when the device that opened the tunnel sends this; false for its other end.
    bool fromOpener = true;
    std::string user;     ///< Open: the caller's user name, as its device vouches for it.
    std::string channel;  ///< Open: the channel served on the receiving device.
    std::string frame;    ///< Frame: one whole frame, as the transport encodes it.
};

/// The host's gateway between its local processes and other devices, as the link layer (the
/// federation bridge in the daemon) sees it. Every member is safe from any thread and never
/// waits.
class DeviceCalls {
public:
    /// Sends message to device; fails, saying why, when it cannot go now (no link, the link's
    /// queue at its bound): the gateway then closes the tunnel. Must not wait. share names whose
    /// message it is: the user a tunnel is for, one share of the queue to the device, so that
    /// one user's messages cannot fill the queue every user's take; empty for the gateway's own.
    using Sender = std::function<Outcome(const std::string& device, DeviceMessage message,
                                         const std::string& share)>;

    /// Serves the gateway (the channel `@`) and sends through sender from now on. Called once,
    /// after the host has started; fails when the channel cannot be served.
    virtual bool carryOver(Sender sender, std::string& error) = 0;
    /// message came from device over its authenticated link.
    virtual void received(const std::string& device, DeviceMessage message) = 0;
    /// The link to device is gone: every tunnel with it closes.
    virtual void linkLost(const std::string& device) = 0;

protected:
    ~DeviceCalls() = default;
};

}  // namespace svcreg
