#pragma once

#include <string>
#include <vector>

#include "ClientOptions.h"

// Exit codes of svcreg.
enum ExitCode {
    kExitDone = 0,
    kExitNotFound = 1,  // not found, refused, or timed out waiting
    // kExitUsage (2): a bad option, command or argument, such as an invalid channel name
    kExitUnreachable = 3,    // no registry reachable, no reply in time, or a change unconfirmed
    kExitCannotStart = 4,    // the registry library does not load, or the system refuses a socket
    kExitInterrupted = 130,  // Ctrl-C (SIGINT) or SIGTERM ended a wait
};

struct Command {
    const char* name;
    std::vector<const char*> parameters;  // "[NAME]" for one that may be left out
    const char* summary;                  // a phrase, for the list of commands
    const char* details;                  // sentences for the command's own help; may be ""
    const char* example;                  // a command line that uses it
    int (*run)(const ClientOptions& options);
    // Sent as a text request, whose arguments are separated by commas and so cannot hold one.
    bool textRequest = false;
};

namespace svcreg {
class StopSignals;
}

// The signals that end watch and wait; set before any command runs.
void useStopSignals(svcreg::StopSignals& signals);

const std::vector<Command>& commands();
// Null for an unknown name.
const Command* findCommand(const std::string& name);
// Empty when options suit command; else what is wrong with its arguments or with the channel
// it would reach the registry at.
std::string usageProblem(const Command& command, const ClientOptions& options);
