#pragma once

#include <string>

#include "ServiceRegistryExport.h"

// Told the name of every service interface that gets registered. Never deleted through this
// interface, so it has no virtual destructor.
class SERVICE_REGISTRY_API ServiceRegistryObserverIfc {
public:
    virtual void newServiceIfcRegistered(std::string ifc) = 0;

protected:
    ~ServiceRegistryObserverIfc() = default;
};
