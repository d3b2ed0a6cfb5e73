#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "Outcome.h"
#include "PeerCredentials.h"

namespace svcreg {

/// Names a watch of a peer's end (see HostFramework::watchPeer); 0 for none.
using PeerWatchId = std::uint64_t;

/// One frame a peer sent to a channel bound here, a call or a text message, while it is handled:
/// who sent it, what it asks, and the way to answer or refuse it. The framework makes one for
/// each frame and hands it to what is bound at the frame's channel (see CallHandler and
/// MessageHandler); it lives until that handler returns. Use it on the handler's thread only,
/// and keep no pointer to it.
class IncomingCall {
public:
    /// The peer at the other end of the connection the frame came on, as the kernel saw it when
    /// it connected.
    virtual const PeerCredentials& peer() const = 0;
    /// The channel the frame names for calling back or answering there; empty when it names
    /// none. A name the peer wrote: ownsChannel says whether it may name it.
    virtual const std::string& callbackChannel() const = 0;
    /// Whether the call carries the bool parameter flag, set; false for a text message and for a
    /// call whose data does not decode.
    virtual bool asks(const std::string& flag) const = 0;
    /// Refuses the frame, for reason. A call's answer carries reason as the string parameter
    /// kRefusalParameter beside the handler's result; a text message's source gets an error
    /// message (see kErrorReplyInterface) over the connection the message came on, and nothing
    /// when it names no source.
    virtual void refuse(const std::string& reason) = 0;
    /// The call's answer carries the string parameter name, set to value, beside the handler's
    /// result; nothing for a text message. Only before the answer is sent.
    virtual void addToAnswer(std::string name, std::string value) = 0;
    /// Whether the peer may name channel as its own, to be answered or called back there: root
    /// may name any channel, other users a private channel of the connection they came on, or a
    /// channel served by a process of their own user.
    virtual bool ownsChannel(const std::string& channel) const = 0;
    /// Calls gone once, on a framework thread, when the peer's process ends: the one the kernel
    /// saw at the other end of its connection, never one that took its pid since; at once when
    /// it has ended already; for a caller on another device, which has no process here, when
    /// the connection it called on closes. The watch's id when done; Refused, with why, when the
    /// process cannot be watched (see HostFramework::watchPeer).
    virtual Result<PeerWatchId> watchCaller(std::function<void()> gone) = 0;

protected:
    ~IncomingCall() = default;
};

}  // namespace svcreg
