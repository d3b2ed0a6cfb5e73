#pragma once

#include <string>

#include "ServiceRegistry/HostFramework.h"

// The options of a framework of this process in runtimeDirectory, with workerThreads threads.
inline svcreg::HostOptions hostOptionsIn(const std::string& runtimeDirectory,
                                         unsigned workerThreads = 1) {
    svcreg::HostOptions options;
    options.runtimeDirectory = runtimeDirectory;
    options.workerThreads = workerThreads;
    return options;
}
