#pragma once

#include <string>

#include "ServiceRegistry/Limits.h"
#include "ServiceRegistry/RegistryHost.h"

struct DaemonOptions {
    std::string runtimeDirectory;
    std::string channel;
    std::string library;
    std::string group;       // whose members may use the registry
    std::string policyFile;  // who may change what
    unsigned workerThreads = 4;
    svcreg::ConnectionLimits limits;
    svcreg::RegistryQuotas quotas;
    svcreg::LivenessSettings liveness;
    int verbosity = 0;  // each -v lets one finer log level through
    bool helpWanted = false;
};

// Fills options from the command line, defaults first. False, with a message, on bad usage.
bool parseDaemonOptions(int argc, char** argv, DaemonOptions& options, std::string& error);

std::string daemonUsage();
