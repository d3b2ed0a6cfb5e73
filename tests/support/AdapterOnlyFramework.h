#pragma once

#include <string>

#include "FrameworkContext.h"
#include "ProtocolAdapter.h"

// A framework context that gives one adapter for every protocol name, and no proxies.
class AdapterOnlyFramework final : public FrameworkContext {
public:
    explicit AdapterOnlyFramework(ProtocolAdapter& adapter) : adapter(adapter) {}
    Proxy* getProxy(const std::string&, const std::string&) override { return nullptr; }
    ProtocolAdapter* getProtocolAdapter(const std::string&) override { return &adapter; }

private:
    ProtocolAdapter& adapter;  // not owned
};
