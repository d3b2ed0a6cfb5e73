#pragma once

#include <string>

#include "Commands.h"

// svcreg --help: what it is, its commands, options and exit codes, within 80 columns.
std::string clientUsage();
// svcreg help COMMAND: its synopsis, what it does, and an example.
std::string commandUsage(const Command& command);
// "find IFC": the command with its parameters.
std::string synopsis(const Command& command);
// "IFCS CHANNEL": the parameters alone.
std::string parameterList(const Command& command);
