#pragma once

/// \file
/// The client side of a remote binding.

#include "Executable.h"
#include "FrameworkExport.h"

class ProxyRequest;

/// Client side of a remote binding: turns interface calls into requests sent through the
/// ProxyRequest it is bound to.
class FRAMEWORK_API Proxy : public Executable {
public:
    /// Does nothing: a proxy needs only its request channel.
    void init(Context&) override {}
    /// Does nothing.
    void shutdown() override {}
    /// Binds the proxy to request (not owned; it outlives the proxy), once, before the first
    /// call through the proxy.
    virtual void initProxy(ProxyRequest& request) = 0;
};
