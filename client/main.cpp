// svcreg: the service registry's command-line client.
#include <clocale>
#include <cstdio>
#include <cstring>
#include <string>

#include "ClientOptions.h"
#include "CommandLine.h"
#include "Commands.h"
#include "Help.h"
#include "Logging.h"
#include "Output.h"
#include "ServiceRegistry/Defaults.h"
#include "ServiceRegistry/StopSignals.h"

namespace {

// Names take the columns the terminal gives them: text is read in the user's locale, or in
// UTF-8 when that locale has no multibyte encoding.
void useTerminalEncoding() {
    const char* locale = std::setlocale(LC_CTYPE, "");
    if (locale == nullptr || std::strcmp(locale, "C") == 0 || std::strcmp(locale, "POSIX") == 0) {
        std::setlocale(LC_CTYPE, "C.UTF-8");
    }
}

// A usage error: as JSON alone when JSON was asked for.
int badUsage(const ClientOptions& options, const std::string& error) {
    if (options.json) return reportFailure(options, "usage", error, kExitUsage);
    return usageError("svcreg", error);
}

int printVersion(const ClientOptions& options) {
    const std::string version = svcreg::packageVersion();
    if (options.json) {
        printJson(options, Json::object().set("program", "svcreg").set("version", version));
    } else {
        std::printf("svcreg %s\n", version.c_str());
    }
    return kExitDone;
}

}  // namespace

int main(int argc, char** argv) {
    svcreg::StopSignals stopSignals;
    useStopSignals(stopSignals);
    useTerminalEncoding();
    ClientOptions options;
    std::string error;
    if (!parseClientOptions(argc, argv, options, error)) return badUsage(options, error);
    if (options.versionWanted) return printVersion(options);
    if (options.command.empty()) {
        if (!options.helpWanted) return badUsage(options, "no command given");
        return printHelp(options, clientUsage());
    }
    const Command* command = findCommand(options.command);
    if (command == nullptr) {
        return badUsage(options, "unknown command '" + options.command + "'");
    }
    if (options.helpWanted) return printHelp(options, commandUsage(*command));
    error = usageProblem(*command, options);
    if (!error.empty()) return badUsage(options, error);
    setDefaultLogThreshold(2 + options.verbosity);
    return command->run(options);
}
