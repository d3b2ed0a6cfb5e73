#pragma once

#include <string>
#include <vector>

#include "ClientOptions.h"

// Exit codes of svcreg.
enum ExitCode {
    kExitDone = 0,
    kExitNotFound = 1,  // not found, refused, or timed out waiting
    kExitUsage = 2,
    kExitUnreachable = 3,  // no registry reachable, no reply in time, or a change unconfirmed
};

struct Command {
    const char* name;
    std::vector<const char*> parameters;
    const char* summary;
    int (*run)(const ClientOptions& options);
    // Sent as a text request, whose arguments are separated by commas and so cannot hold one.
    bool textRequest = false;
};

namespace svcreg {
class StopSignals;
}

// The signals that end watch and wait; set before any command runs.
void useStopSignals(svcreg::StopSignals& signals);

// Null for an unknown name.
const Command* findCommand(const std::string& name);
std::string clientUsage();
std::string commandUsage(const Command& command);
