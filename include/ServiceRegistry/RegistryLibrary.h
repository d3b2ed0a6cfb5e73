#pragma once

#include <string>

#include "HostExport.h"

class Invoker;
class Proxy;
class Service;

namespace svcreg {

// The registry library, loaded at run time as a framework loads it, and its five factories.
// It stays loaded for the life of the process: objects it made may outlive this handle.
class HOST_API RegistryLibrary {
public:
    static constexpr const char* kFileName = "libServiceRegistry.so.1";

    // The library beside the running executable when it is there; else the bare file name,
    // which the dynamic loader looks up in the executable's run path and the system's.
    static std::string defaultPath();

    // False, with an error naming the file or the missing symbol, when anything is missing.
    bool load(const std::string& path, std::string& error);

    Service* (*createServiceRegistry)() = nullptr;
    Invoker* (*createServiceRegistryInvoker)() = nullptr;
    Proxy* (*createServiceRegistryProxy)() = nullptr;
    Proxy* (*createServiceRegistryObserverProxy)() = nullptr;
    Invoker* (*createServiceRegistryObserverInvoker)() = nullptr;
};

}  // namespace svcreg
