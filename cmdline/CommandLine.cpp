#include "CommandLine.h"

#include <cstdio>

namespace {

// The value --version returns; no short option has it.
constexpr int kVersionOption = 0x100 - 1;

// The message for what getopt_long returned for a word it could not use: '?' for an unknown
// option, ':' for one whose value is missing (the option string starts with ':'). word is the
// word it stopped at, argv[optind - 1].
std::string unusableOption(int returned, int unknownShort, const char* word) {
    const std::string given = word;
    if (returned == ':') return "option '" + given + "' needs a value";
    if (unknownShort != 0 && given.compare(0, 2, "--") != 0) {
        return std::string("unknown option '-") + static_cast<char>(unknownShort) + "'";
    }
    return "unknown option '" + given.substr(0, given.find('=')) + "'";
}

// Takes a common option; false for any other.
bool takeCommon(int option, CommonOptions& common) {
    switch (option) {
        case 'h':
            common.helpWanted = true;
            return true;
        case kVersionOption:
            common.versionWanted = true;
            return true;
        case 'v':
            ++common.verbosity;
            return true;
        default:
            return false;
    }
}

}  // namespace

int readOptions(int argc, char** argv, const std::string& shortOptions,
                std::vector<option> longOptions, CommonOptions& common, const OptionTaker& take,
                std::string& error) {
    longOptions.push_back({"verbose", no_argument, nullptr, 'v'});
    longOptions.push_back({"help", no_argument, nullptr, 'h'});
    longOptions.push_back({"version", no_argument, nullptr, kVersionOption});
    longOptions.push_back({nullptr, 0, nullptr, 0});
    const std::string allShort = ":hv" + shortOptions;
    opterr = 0;
    for (int option;
         (option = getopt_long(argc, argv, allShort.c_str(), longOptions.data(), nullptr)) != -1;) {
        if (takeCommon(option, common)) continue;
        if (option == '?' || option == ':') {
            error = unusableOption(option, optopt, argv[optind - 1]);
            return -1;
        }
        if (!take(option, error)) return -1;
    }
    return optind;
}

int usageError(const char* program, const std::string& message) {
    std::fprintf(stderr, "%s: %s. Try '%s --help'.\n", program, message.c_str(), program);
    return kExitUsage;
}
