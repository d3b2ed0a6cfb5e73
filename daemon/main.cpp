// svcregd: the service registry daemon.
#include <cstdio>
#include <string>

#include "DaemonOptions.h"
#include "JournalLog.h"
#include "Logging.h"
#include "ServiceManager.h"
#include "ServiceRegistry/RegistryHost.h"
#include "ServiceRegistry/StopSignals.h"

int main(int argc, char** argv) {
    svcreg::StopSignals stopSignals;
    DaemonOptions options;
    std::string error;
    if (!parseDaemonOptions(argc, argv, options, error)) {
        std::fprintf(stderr, "svcregd: %s\n%s", error.c_str(), daemonUsage());
        return 2;
    }
    if (options.helpWanted) {
        std::fputs(daemonUsage(), stdout);
        return 0;
    }
    setDefaultLogThreshold(2 + options.verbosity);
    if (standardErrorIsJournal()) logWithJournalPriorities();

    int passedListener = -1;
    if (!takePassedListener(passedListener, error)) {
        std::fprintf(stderr, "svcregd: %s\n", error.c_str());
        return 1;
    }
    svcreg::HostOptions hostOptions;
    hostOptions.runtimeDirectory = options.runtimeDirectory;
    hostOptions.workerThreads = options.workerThreads;
    svcreg::RegistryHost daemon(hostOptions, options.channel);
    if (!daemon.start(options.library, error, passedListener)) {
        std::fprintf(stderr, "svcregd: %s\n", error.c_str());
        return 1;
    }
    std::fprintf(stderr, "svcregd: serving channel '%s' in '%s'\n", options.channel.c_str(),
                 options.runtimeDirectory.c_str());
    notifyServiceManager("READY=1");
    stopSignals.waitForStop();
    notifyServiceManager("STOPPING=1");
    daemon.stop();
    std::fprintf(stderr, "svcregd: stopped\n");
    return 0;
}
