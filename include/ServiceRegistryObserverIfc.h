#pragma once

/// \file
/// What a subscriber of the registry's startup events implements.

#include <string>

#include "ServiceRegistryExport.h"

/// Told the name of every service interface that gets registered. Never deleted through this
/// interface, so it has no virtual destructor.
class SERVICE_REGISTRY_API ServiceRegistryObserverIfc {
public:
    /// Called with the name of a service interface registered. ServiceRegistry calls it on the
    /// thread that registers the interface or subscribes the observer, with none of its locks
    /// held but the one noted at ServiceRegistry::subscribeStartupEvents, and what it throws
    /// reaches that caller; ServiceRegistryObserverInvoker calls it on the thread that delivers
    /// the notification.
    virtual void newServiceIfcRegistered(std::string ifc) = 0;

protected:
    /// Not for deleting through this interface.
    ~ServiceRegistryObserverIfc() = default;
};
