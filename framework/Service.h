#pragma once

/// \file
/// The base of a component that serves a comms channel.

#include <string>

#include "Executable.h"
#include "FrameworkExport.h"
#include "Threadable.h"

class CommsChannelIfc;
class CommsChannelDataContainerMessage;

/// A component that serves a comms channel: the framework hands each message of that channel to
/// handleMsg, on the framework's delivery thread.
class FRAMEWORK_API Service : public Executable, public Threadable {
public:
    /// Serves one message of the channel: length bytes at data from sourceChannel, with its
    /// container message (not owned; valid for the call), replying through channel. Ignores it
    /// unless overridden.
    virtual void handleMsg(const char* /*data*/, int /*length*/, std::string /*sourceChannel*/,
                           CommsChannelIfc& /*channel*/,
                           CommsChannelDataContainerMessage* /*message*/) {}
};
