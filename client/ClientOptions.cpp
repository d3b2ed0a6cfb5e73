#include "ClientOptions.h"

#include <cmath>
#include <cstdlib>

#include "ServiceRegistry/Defaults.h"

namespace {

// Seconds, fractions allowed, up to a day.
bool parseSeconds(const std::string& text, std::chrono::milliseconds& duration) {
    char* end = nullptr;
    const double seconds = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !std::isfinite(seconds) || seconds < 0 || seconds > 86400) {
        return false;
    }
    duration = std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
    return true;
}

}  // namespace

bool parseClientOptions(int argc, char** argv, ClientOptions& options, std::string& error) {
    options.runtimeDirectory = svcreg::defaultRuntimeDirectory();
    options.registryChannel = svcreg::kDefaultRegistryChannel;
    options.library = svcreg::defaultRegistryLibrary();
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        const bool hasValue = i + 1 < argc;
        if (optionsEnded || argument.empty() || argument[0] != '-') {
            if (options.command.empty()) {
                options.command = argument;
            } else {
                options.arguments.push_back(argument);
            }
        } else if (argument == "--") {
            optionsEnded = true;
        } else if (argument == "-h" || argument == "--help") {
            options.helpWanted = true;
        } else if (argument == "-v" || argument == "--verbose") {
            ++options.verbosity;
        } else if (argument == "--json") {
            options.json = true;
        } else if (argument == "--runtime-dir" && hasValue) {
            options.runtimeDirectory = argv[++i];
        } else if (argument == "--channel" && hasValue) {
            options.registryChannel = argv[++i];
        } else if (argument == "--library" && hasValue) {
            options.library = argv[++i];
        } else if ((argument == "--timeout" || argument == "--reply-timeout") && hasValue) {
            auto& duration = argument == "--timeout" ? options.waitTimeout : options.replyTimeout;
            if (!parseSeconds(argv[++i], duration)) {
                error = argument + " takes a number of seconds";
                return false;
            }
        } else {
            error = "unknown option or missing value: '" + argument + "'";
            return false;
        }
    }
    return true;
}
