#pragma once

#include <string>

#include "Executable.h"
#include "FrameworkExport.h"
#include "Threadable.h"

class CommsChannelIfc;
class CommsChannelDataContainerMessage;

// A component that serves a comms channel: the framework hands each message of that channel to
// handleMsg, on the framework's delivery thread.
class FRAMEWORK_API Service : public Executable, public Threadable {
public:
    virtual void handleMsg(const char* /*data*/, int /*length*/, std::string /*sourceChannel*/,
                           CommsChannelIfc& /*channel*/,
                           CommsChannelDataContainerMessage* /*message*/) {}
};
