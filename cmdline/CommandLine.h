#pragma once

#include <string>

// What svcregd and svcreg share in reading their command lines with getopt_long, whose own
// messages are turned off (opterr = 0) for these.

constexpr int kExitUsage = 2;

// The message for what getopt_long returned for a word it could not use: '?' for an unknown
// option, ':' for one whose value is missing (the option string starts with ':'). word is the
// word it stopped at, argv[optind - 1].
std::string unusableOption(int returned, int unknownShort, const char* word);

// Prints "PROGRAM: MESSAGE. Try 'PROGRAM --help'." on one line of standard error and returns
// kExitUsage.
int usageError(const char* program, const std::string& message);
