#pragma once

#include "Connection.h"
#include "Frame.h"

namespace svcreg {

// What takes the frames that come back on a relay connection, a connection the registry's
// gateway makes to a channel served here on behalf of a caller on another device (see
// Transport::openRelay): every frame, replies included, rather than the frame handler.
class RelayHandler {
public:
    // A frame from the relay's peer, in the order sent, on the thread that reads the relay.
    virtual void relayFrame(const Connection& relay, Frame& frame) = 0;
    // The relay has closed, whichever way: its peer hung up, it broke, or it was closed here.
    // Must be quick and never wait.
    virtual void relayClosed(const Connection& relay) = 0;

protected:
    ~RelayHandler() = default;
};

}  // namespace svcreg
