#pragma once

#include "Logging.h"
#include "ServiceRegistry.h"

// Every log line is formatted, as a real sink would, and then thrown away. Sets this up on its
// first call only.
inline void logEverythingQuietly() {
    static const bool ready = [] {
        setDefaultLogThreshold(6);
        setLogSink([](const LogRecord& record) { (void)formatLogLine(record); });
        return true;
    }();
    (void)ready;
}

// The entries every registry under fuzzing starts with: a name at two channels, two names
// sharing an id, and a creator of each kind.
inline void addFewEntries(ServiceRegistry& registry) {
    registry.registerSvcInterface("A B", "chanA");
    registry.registerSvcInterface("A", "chanA2");
    registry.registerInvokerInfo("libI.so", "createI", "A", "proto");
    registry.registerProxyInfo("libP.so", "createP", "A", "proto");
}
