#pragma once

/// \file
/// The framework's means of sending on comms channels.

#include <string>

#include "FrameworkExport.h"

class CommsChannelDataContainerMessage;

/// The framework's means of sending on comms channels. The framework that implements it says
/// from which threads it may be called.
class FRAMEWORK_API CommsChannelIfc {
public:
    /// Sends to message->channel(). The caller keeps the message; the channel takes what it needs
    /// before returning. False when the message cannot be sent (no such channel, the channel
    /// refuses it); nothing tells whether the receiver got it.
    virtual bool sendMessage(CommsChannelDataContainerMessage* message) = 0;
    /// Sends bare bytes, with no container fields, to the named channel. False as for
    /// sendMessage.
    virtual bool sendData(const std::string& channel, const char* data, int length) = 0;

protected:
    /// Never deleted through this type. A virtual destructor would move every operation above
    /// down two slots in the table the framework calls through.
    ~CommsChannelIfc() = default;
};
