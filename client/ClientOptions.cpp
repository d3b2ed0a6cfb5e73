#include "ClientOptions.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "CommandLine.h"
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

bool parseJsonStyle(const char* text, Json::Style& style) {
    const std::string given = text != nullptr ? text : "short";
    if (given != "short" && given != "pretty") return false;
    style = given == "short" ? Json::Style::Short : Json::Style::Pretty;
    return true;
}

enum LongOnly {
    kRuntimeDir = 256,
    kChannel,
    kLibrary,
    kTimeout,
    kReplyTimeout,
    kJson,
    kNoLegend,
    kKeep,
    kIfDeclared
};

const std::vector<option> kOptions = {
    {"runtime-dir", required_argument, nullptr, kRuntimeDir},
    {"channel", required_argument, nullptr, kChannel},
    {"library", required_argument, nullptr, kLibrary},
    {"timeout", required_argument, nullptr, kTimeout},
    {"reply-timeout", required_argument, nullptr, kReplyTimeout},
    {"json", optional_argument, nullptr, kJson},
    {"no-legend", no_argument, nullptr, kNoLegend},
    {"keep", no_argument, nullptr, kKeep},
    {"if-declared", no_argument, nullptr, kIfDeclared},
};

// One option of the client's own that getopt_long returned; false, with a message, for a value
// it cannot use.
bool takeOption(int option, ClientOptions& options, std::string& error) {
    switch (option) {
        case 'j':
            options.json = true;
            break;
        case kNoLegend:
            options.legend = false;
            break;
        case kKeep:
            options.keep = true;
            break;
        case kIfDeclared:
            options.ifDeclared = true;
            break;
        case kJson:
            options.json = true;
            if (parseJsonStyle(optarg, options.jsonStyle)) return true;
            error = "--json takes short or pretty, not '" + std::string(optarg) + "'";
            return false;
        case kRuntimeDir:
            options.runtimeDirectory = optarg;
            break;
        case kChannel:
            options.registryChannel = optarg;
            break;
        case kLibrary:
            options.library = optarg;
            break;
        case kTimeout:
        case kReplyTimeout: {
            auto& duration = option == kTimeout ? options.waitTimeout : options.replyTimeout;
            if (parseSeconds(optarg, duration)) return true;
            error = std::string(option == kTimeout ? "--timeout" : "--reply-timeout") +
                    " takes seconds from 0 to 86400, not '" + optarg + "'";
            return false;
        }
    }
    return true;
}

}  // namespace

bool parseClientOptions(int argc, char** argv, ClientOptions& options, std::string& error) {
    options.runtimeDirectory = svcreg::defaultRuntimeDirectory();
    options.registryChannel = svcreg::kDefaultRegistryChannel;
    options.library = svcreg::defaultRegistryLibrary();
    bool timeoutGiven = false;
    const int firstWord = readOptions(
        argc, argv, "j", kOptions, options,
        [&](int option, std::string& refusal) {
            timeoutGiven = timeoutGiven || option == kTimeout;
            return takeOption(option, options, refusal);
        },
        error);
    if (firstWord < 0) return false;
    // --timeout bounds every request of the command, not only a wait.
    if (timeoutGiven) options.replyTimeout = std::min(options.replyTimeout, options.waitTimeout);
    for (int i = firstWord; i < argc; ++i) {
        if (options.command.empty()) {
            options.command = argv[i];
        } else {
            options.arguments.push_back(argv[i]);
        }
    }
    return true;
}
