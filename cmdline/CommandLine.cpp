#include "CommandLine.h"

#include <cstdio>

std::string unusableOption(int returned, int unknownShort, const char* word) {
    const std::string given = word;
    if (returned == ':') return "option '" + given + "' needs a value";
    if (unknownShort != 0 && given.compare(0, 2, "--") != 0) {
        return std::string("unknown option '-") + static_cast<char>(unknownShort) + "'";
    }
    return "unknown option '" + given.substr(0, given.find('=')) + "'";
}

int usageError(const char* program, const std::string& message) {
    std::fprintf(stderr, "%s: %s. Try '%s --help'.\n", program, message.c_str(), program);
    return kExitUsage;
}
