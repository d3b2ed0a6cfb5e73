#pragma once

#include <string>
#include <vector>

#include "ServiceRegistryIfc.h"

// Short views of a registry's tables for expectations, and the entries several suites start from.

// "ifc/id/channel" for each entry of the details list, in list order.
inline std::vector<std::string> table(ServiceRegistryIfc& registry) {
    std::vector<std::string> rows;
    for (const SvcDetails& d : registry.getSvcDetailsList()) {
        rows.push_back(d.ifc + "/" + d.svcId + "/" + d.channelName);
    }
    return rows;
}

// "lib,creatorFn" of the proxy creator found for ifc, or "none".
inline std::string proxyOf(ServiceRegistryIfc& registry, const std::string& ifc) {
    std::string lib, creatorFn;
    return registry.findProxy(ifc, lib, creatorFn) ? lib + "," + creatorFn : "none";
}

// "lib,creatorFn" of the invoker creator found for ifc and protocol, or "none".
inline std::string invokerOf(ServiceRegistryIfc& registry, const std::string& ifc,
                             const std::string& protocol) {
    std::string lib, creatorFn;
    return registry.findInvoker(ifc, protocol, lib, creatorFn) ? lib + "," + creatorFn : "none";
}

// A at c (id 1), A at c2 (id 2), B at d (id 3), an invoker creator libA/createA for
// IfcX/protoY and a proxy creator libP/createP for IfcX.
inline void addSampleEntries(ServiceRegistryIfc& registry) {
    registry.registerSvcInterface("A", "c");
    registry.registerSvcInterface("A", "c2");
    registry.registerSvcInterface("B", "d");
    registry.registerInvokerInfo("libA", "createA", "IfcX", "protoY");
    registry.registerProxyInfo("libP", "createP", "IfcX", "protoY");
}
