// svcreg: the service registry's command-line client.
#include <cstdio>
#include <string>

#include "ClientOptions.h"
#include "Commands.h"
#include "Logging.h"
#include "ServiceRegistry/StopSignals.h"

namespace {

int usageError(const std::string& message, const std::string& usage) {
    std::fprintf(stderr, "svcreg: %s\n%s", message.c_str(), usage.c_str());
    return kExitUsage;
}

bool hasComma(const ClientOptions& options) {
    for (const std::string& argument : options.arguments) {
        if (argument.find(',') != std::string::npos) return true;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    svcreg::StopSignals stopSignals;
    useStopSignals(stopSignals);
    ClientOptions options;
    std::string error;
    if (!parseClientOptions(argc, argv, options, error)) return usageError(error, clientUsage());
    if (options.command.empty()) {
        if (!options.helpWanted) return usageError("no command given", clientUsage());
        std::fputs(clientUsage().c_str(), stdout);
        return kExitDone;
    }
    const Command* command = findCommand(options.command);
    if (command == nullptr) {
        return usageError("unknown command '" + options.command + "'", clientUsage());
    }
    if (options.helpWanted) {
        std::fputs(commandUsage(*command).c_str(), stdout);
        return kExitDone;
    }
    if (options.arguments.size() != command->parameters.size()) {
        return usageError("wrong number of arguments", commandUsage(*command));
    }
    if (command->textRequest && hasComma(options)) {
        return usageError("text requests cannot carry a comma in an argument",
                          commandUsage(*command));
    }
    setDefaultLogThreshold(2 + options.verbosity);
    return command->run(options);
}
