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

// A at c (id 1), A at c2 (id 2), B at d (id 3), an invoker creator libA/createA for
// IfcX/protoY and a proxy creator libP/createP for IfcX.
inline void addSampleEntries(ServiceRegistryIfc& registry) {
    registry.registerSvcInterface("A", "c");
    registry.registerSvcInterface("A", "c2");
    registry.registerSvcInterface("B", "d");
    registry.registerInvokerInfo("libA", "createA", "IfcX", "protoY");
    registry.registerProxyInfo("libP", "createP", "IfcX", "protoY");
}
