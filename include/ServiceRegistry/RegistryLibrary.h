#pragma once

/// \file
/// The registry library, loaded at run time.

#include <string>

#include "HostExport.h"
#include "Outcome.h"

class Invoker;
class Proxy;
class Service;

namespace svcreg {

/// The registry library, loaded at run time as a framework loads it, and its five factories.
/// It stays loaded for the life of the process: objects it made may outlive this handle.
/// Load it from one thread; once loaded, the factories may be called from any thread.
class HOST_API RegistryLibrary {
public:
    /// The library's file name, with the major version of its SONAME.
    static constexpr const char* kFileName = "libServiceRegistry.so.1";

    /// The library beside the running executable when it is there; else the bare file name,
    /// which the dynamic loader looks up in the executable's run path and the system's.
    static std::string defaultPath();

    /// Loads the library at path and finds its factories. CannotStart, with a reason naming the
    /// file or the missing symbol, when anything is missing; the factories found before are set
    /// then, but none is to be used.
    Outcome load(const std::string& path);

    /// @name The library's factories, null until load succeeds
    /// Each makes a new object that the caller owns.
    ///@{
    Service* (*createServiceRegistry)() = nullptr;                 ///< a registry
    Invoker* (*createServiceRegistryInvoker)() = nullptr;          ///< the registry's invoker
    Proxy* (*createServiceRegistryProxy)() = nullptr;              ///< a proxy of the registry
    Proxy* (*createServiceRegistryObserverProxy)() = nullptr;      ///< an observer's proxy
    Invoker* (*createServiceRegistryObserverInvoker)() = nullptr;  ///< an observer's invoker
    ///@}
};

}  // namespace svcreg
