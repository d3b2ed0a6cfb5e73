#pragma once

#include <string>
#include <utility>
#include <vector>

#include "CommandLine.h"
#include "FederationOptions.h"
#include "ServiceRegistry/Limits.h"
#include "ServiceRegistry/RegistryHost.h"

struct DaemonOptions : CommonOptions {
    std::string runtimeDirectory;
    // Where the daemon keeps its own files; empty for none, when they go in the runtime directory.
    std::string stateDirectory;
    std::string channel;
    std::string library;
    std::string group;       // whose members may use the registry
    std::string policyFile;  // who may change what
    unsigned workerThreads = 4;
    svcreg::ConnectionLimits limits;
    svcreg::RegistryQuotas quotas;
    svcreg::LivenessSettings liveness;
    svcreg::ActivationSettings activation;
    FederationOptions federation;
};

// Fills options from the command line, defaults first. False, with a message, on bad usage.
bool parseDaemonOptions(int argc, char** argv, DaemonOptions& options, std::string& error);

std::string daemonUsage();
// Every limit --limit sets, by name, with its value in options.
std::vector<std::pair<std::string, std::string>> namedLimits(const DaemonOptions& options);
