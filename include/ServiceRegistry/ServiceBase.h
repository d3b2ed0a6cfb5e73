#pragma once

#include "Service.h"

class Context;

namespace svcreg {

/// A service served by a HostFramework (HostFramework::bindChannel()), with the framework's
/// lifecycle calls written once: a service derives from it and overrides handleMsg() only, which
/// gets each text message of its channel on the framework's delivery thread. A HostFramework
/// never calls init(), shutdown() or run(); a service that another framework drives, and that
/// needs them, overrides them as well.
///
///     class Camera final : public svcreg::ServiceBase {
///     public:
///         void handleMsg(const char* data, int length, std::string source,
///                        CommsChannelIfc& channel, CommsChannelDataContainerMessage*) override;
///     };
class ServiceBase : public ::Service {
public:
    /// Does nothing: the service is ready once constructed.
    void init(Context& /*context*/) override {}
    /// Does nothing: the service holds nothing to let go of before it is destroyed.
    void shutdown() override {}
    /// Does nothing: messages come on the framework's threads, not on one of the service's own.
    void run() override {}
};

}  // namespace svcreg
