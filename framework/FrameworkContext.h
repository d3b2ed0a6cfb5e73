#pragma once

/// \file
/// The framework services an invoker needs.

#include <string>

#include "FrameworkExport.h"

class Proxy;
class ProtocolAdapter;

/// The framework services an invoker needs: proxies back to remote callers and protocol adapters.
/// Both results stay owned by the framework. Invokers call it from the threads they are called
/// on, so an implementation allows every thread that may call an invoker.
class FRAMEWORK_API FrameworkContext {
public:
    /// A proxy of interfaceName that reaches remoteContext: the same object for the same pair
    /// every time, or null when none can be made.
    virtual Proxy* getProxy(const std::string& interfaceName, const std::string& remoteContext) = 0;
    /// The adapter registered under that protocol name, or null.
    virtual ProtocolAdapter* getProtocolAdapter(const std::string& protocol) = 0;

protected:
    /// Never deleted through this type. A virtual destructor would move every operation above
    /// down two slots in the table the framework calls through.
    ~FrameworkContext() = default;
};
