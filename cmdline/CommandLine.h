#pragma once

#include <getopt.h>

#include <functional>
#include <string>
#include <vector>

// What svcregd and svcreg share in reading their command lines with getopt_long, whose own
// messages are turned off (opterr = 0) for these.

constexpr int kExitUsage = 2;

// The options every program here takes: -h/--help, --version, and -v/--verbose, once per finer
// log level.
struct CommonOptions {
    bool helpWanted = false;
    bool versionWanted = false;
    int verbosity = 0;
};

// Takes one option getopt_long returned, its value in optarg; false, with a message in error,
// for a value it cannot use.
using OptionTaker = std::function<bool(int option, std::string& error)>;

// Reads the options of argv, wherever they stand, with their values as "--opt VALUE" or
// "--opt=VALUE" ("--" ends them): the common ones into common, the others, given by
// shortOptions (without ':', h and v) and longOptions (without the common ones and the end
// mark), to take, in their order. Returns the index of the first word that is not an option,
// or -1, with a message in error, at the first option unknown, lacking its value, or refused.
int readOptions(int argc, char** argv, const std::string& shortOptions,
                std::vector<option> longOptions, CommonOptions& common, const OptionTaker& take,
                std::string& error);

// Prints "PROGRAM: MESSAGE. Try 'PROGRAM --help'." on one line of standard error and returns
// kExitUsage.
int usageError(const char* program, const std::string& message);
