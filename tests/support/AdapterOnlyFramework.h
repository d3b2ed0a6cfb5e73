#pragma once

#include <string>

#include "BinaryProtocolAdapter.h"
#include "FrameworkContext.h"
#include "ProtocolAdapter.h"

// A framework context that gives one adapter for the binary protocol's name, and no proxies.
class AdapterOnlyFramework final : public FrameworkContext {
public:
    explicit AdapterOnlyFramework(ProtocolAdapter& adapter) : adapter(adapter) {}
    Proxy* getProxy(const std::string&, const std::string&) override { return nullptr; }
    ProtocolAdapter* getProtocolAdapter(const std::string& protocol) override {
        return protocol == BinaryProtocolAdapter::kProtocolName ? &adapter : nullptr;
    }

private:
    ProtocolAdapter& adapter;  // not owned
};
