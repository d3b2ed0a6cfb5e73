#pragma once

#include "Executable.h"
#include "FrameworkExport.h"

class ProxyRequest;

// Client side of a remote binding: turns interface calls into requests sent through the
// ProxyRequest it is bound to.
class FRAMEWORK_API Proxy : public Executable {
public:
    void init(Context&) override {}
    void shutdown() override {}
    virtual void initProxy(ProxyRequest& request) = 0;
};
