// svcreg: the service registry's command-line client.
#include <cstdio>
#include <string>

#include "ClientOptions.h"
#include "CommandLine.h"
#include "Commands.h"
#include "Help.h"
#include "Logging.h"
#include "ServiceRegistry/Defaults.h"
#include "ServiceRegistry/StopSignals.h"

int main(int argc, char** argv) {
    svcreg::StopSignals stopSignals;
    useStopSignals(stopSignals);
    ClientOptions options;
    std::string error;
    if (!parseClientOptions(argc, argv, options, error)) return usageError("svcreg", error);
    if (options.versionWanted) {
        std::printf("svcreg %s\n", svcreg::packageVersion().c_str());
        return kExitDone;
    }
    if (options.command.empty()) {
        if (!options.helpWanted) return usageError("svcreg", "no command given");
        std::fputs(clientUsage().c_str(), stdout);
        return kExitDone;
    }
    const Command* command = findCommand(options.command);
    if (command == nullptr) {
        return usageError("svcreg", "unknown command '" + options.command + "'");
    }
    if (options.helpWanted) {
        std::fputs(commandUsage(*command).c_str(), stdout);
        return kExitDone;
    }
    error = usageProblem(*command, options);
    if (!error.empty()) return usageError("svcreg", error);
    setDefaultLogThreshold(2 + options.verbosity);
    return command->run(options);
}
