#pragma once

#include <string>

#include "Frame.h"

namespace svcreg {

// How the frames of a tunnel (see DeviceGateway) cross between two devices. The sending device
// takes its peer's name off the destination; the receiving one adds the sender's name to the
// source and remote context, so that a channel S there reads S@DEVICE here. A private channel
// is the connection's at each end, and is named as it is.

// Whether a frame of kind crosses: messages, calls and replies do; a request for shared memory,
// whose descriptors cannot cross, and a vouch, which only the gateway gives, do not.
bool crossesDevices(Frame::Kind kind);

// The one whole frame bytes holds, as the transport encodes it; false for anything else.
bool decodeTunnelFrame(const std::string& bytes, Frame& frame);

// frame's source and remote context, of a channel on device, as this device names them.
void nameSenderOnDevice(Frame& frame, const std::string& device);

// frame's destination, one of device's channels named as this device names it (S@device), as
// device names it (S); false when it names another. A private channel, or none, stays as it is.
bool nameDestinationOnDevice(Frame& frame, const std::string& device);

}  // namespace svcreg
