#pragma once

#include <string>

#include "ClientOptions.h"
#include "Json.h"

// text as it may reach a terminal: every control character (C1 ones too, as UTF-8 or as a
// byte), every byte of no well-formed UTF-8 character, and the backslash that starts an
// escape, written out as \t, \n, \r, \\ or \xNN, so that nothing a peer sent acts on the
// terminal or makes a row or a line of its own.
std::string shown(const std::string& text);
// "svcreg: " and the message, shown as above, on standard error.
void complain(const std::string& message);
void printJson(const ClientOptions& options, const Json& json);
// The help text as it is, or as {"help": usage}; returns 0, the exit code of done.
int printHelp(const ClientOptions& options, const std::string& usage);
// Says why svcreg fails, and returns exitCode: with --json as one object on standard output,
// {"error": error, "cause": cause, "exitCode": exitCode}; else cause on standard error.
int reportFailure(const ClientOptions& options, const char* error, const std::string& cause,
                  int exitCode);
// "runtime-dir" as "runtimeDir": the one style of every JSON key.
std::string camelCase(const std::string& name);
