#pragma once

/// \file
/// What a subscriber of the registry's startup events implements.

#include <string>

#include "ServiceRegistryExport.h"

/// Told the name of every service interface that gets registered. Never deleted through this
/// interface, so it has no virtual destructor.
class SERVICE_REGISTRY_API ServiceRegistryObserverIfc {
public:
    /// Called with the name of a service interface registered, on the thread of the caller that
    /// subscribed or registered it, with none of the registry's locks held but the one noted at
    /// ServiceRegistry::subscribeStartupEvents. What it throws reaches that caller.
    virtual void newServiceIfcRegistered(std::string ifc) = 0;

protected:
    /// Not for deleting through this interface.
    ~ServiceRegistryObserverIfc() = default;
};
