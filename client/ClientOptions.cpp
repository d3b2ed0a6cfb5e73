#include "ClientOptions.h"

#include <getopt.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

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
    kVersion
};

const option kOptions[] = {
    {"runtime-dir", required_argument, nullptr, kRuntimeDir},
    {"channel", required_argument, nullptr, kChannel},
    {"library", required_argument, nullptr, kLibrary},
    {"timeout", required_argument, nullptr, kTimeout},
    {"reply-timeout", required_argument, nullptr, kReplyTimeout},
    {"json", optional_argument, nullptr, kJson},
    {"no-legend", no_argument, nullptr, kNoLegend},
    {"keep", no_argument, nullptr, kKeep},
    {"verbose", no_argument, nullptr, 'v'},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, kVersion},
    {nullptr, 0, nullptr, 0},
};

// One option getopt_long returned; false, with a message, for one it could not use.
bool takeOption(int option, const char* word, ClientOptions& options, std::string& error) {
    switch (option) {
        case 'h':
            options.helpWanted = true;
            return true;
        case kVersion:
            options.versionWanted = true;
            return true;
        case 'v':
            ++options.verbosity;
            return true;
        case 'j':
            options.json = true;
            return true;
        case kNoLegend:
            options.legend = false;
            return true;
        case kKeep:
            options.keep = true;
            return true;
        case kJson:
            options.json = true;
            if (parseJsonStyle(optarg, options.jsonStyle)) return true;
            error = "--json takes short or pretty, not '" + std::string(optarg) + "'";
            return false;
        case kRuntimeDir:
            options.runtimeDirectory = optarg;
            return true;
        case kChannel:
            options.registryChannel = optarg;
            return true;
        case kLibrary:
            options.library = optarg;
            return true;
        case kTimeout:
        case kReplyTimeout: {
            auto& duration = option == kTimeout ? options.waitTimeout : options.replyTimeout;
            if (parseSeconds(optarg, duration)) return true;
            error = std::string(option == kTimeout ? "--timeout" : "--reply-timeout") +
                    " takes seconds from 0 to 86400, not '" + optarg + "'";
            return false;
        }
        default:
            error = unusableOption(option, optopt, word);
            return false;
    }
}

}  // namespace

bool parseClientOptions(int argc, char** argv, ClientOptions& options, std::string& error) {
    options.runtimeDirectory = svcreg::defaultRuntimeDirectory();
    options.registryChannel = svcreg::kDefaultRegistryChannel;
    options.library = svcreg::defaultRegistryLibrary();
    opterr = 0;
    bool timeoutGiven = false;
    for (int option; (option = getopt_long(argc, argv, ":hvj", kOptions, nullptr)) != -1;) {
        if (!takeOption(option, argv[optind - 1], options, error)) return false;
        timeoutGiven = timeoutGiven || option == kTimeout;
    }
    // --timeout bounds every request of the command, not only a wait.
    if (timeoutGiven) options.replyTimeout = std::min(options.replyTimeout, options.waitTimeout);
    for (int i = optind; i < argc; ++i) {
        if (options.command.empty()) {
            options.command = argv[i];
        } else {
            options.arguments.push_back(argv[i]);
        }
    }
    return true;
}
