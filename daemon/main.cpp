// svcregd: the service registry daemon.
#include <malloc.h>

#include <csignal>
#include <cstdio>
#include <string>

#include "CommandLine.h"
#include "DaemonOptions.h"
#include "FederationPlugin.h"
#include "HangupSignal.h"
#include "JournalLog.h"
#include "LogCall.h"
#include "Logging.h"
#include "ServiceManager.h"
#include "ServiceRegistry/Defaults.h"
#include "ServiceRegistry/RegistryHost.h"
#include "ServiceRegistry/StopSignals.h"

namespace {

// How often the daemon checks that its channel can still be reached, and how many of those
// checks pass between two sweeps of stale files (the first is made at start).
constexpr std::chrono::seconds kReachabilityCheck{1};
constexpr int kChecksBetweenSweeps = 60;

void removeStaleFiles(svcreg::RegistryHost& daemon) {
    const std::size_t cleared = daemon.removeStaleFiles();
    if (cleared != 0) {
        LOG_TRACE("svcregd", "daemon/main.cpp", 4,
                  "Removed the files of %zu channels nobody serves", cleared);
    }
}

// A policy that cannot be read leaves the one in force, and the daemon serving.
void reloadPolicy(svcreg::RegistryHost& daemon, const std::string& policyFile) {
    if (const svcreg::Outcome reloaded = daemon.reloadPolicy(); reloaded) {
        std::fprintf(stderr, "svcregd: reloaded the policy from '%s'\n", policyFile.c_str());
    } else {
        LOG_FAILURE("svcregd", "daemon/main.cpp", "Kept the policy in force: %s",
                    reloaded.reason().c_str());
    }
}

// Declarations refused are logged each with why; the others are in force.
void reloadDeclarations(svcreg::RegistryHost& daemon) {
    const svcreg::Outcome reloaded = daemon.reloadDeclarations();
    if (reloaded == svcreg::Status::Refused) return;  // no launcher: nothing is declared
    if (reloaded) {
        std::fprintf(stderr, "svcregd: %s\n", reloaded.reason().c_str());
    } else {
        LOG_FAILURE("svcregd", "daemon/main.cpp", "Refused declarations:\n%s",
                    reloaded.reason().c_str());
    }
}

// Until a stop is requested (done), or until nobody can reach the registry any more
// (Unreachable, with what happened). A SIGHUP is taken at the next check: the policy and the
// declarations are read again.
svcreg::Outcome serveUntilStopped(svcreg::StopSignals& stopSignals, HangupSignal& hangup,
                                  svcreg::RegistryHost& daemon, const std::string& policyFile) {
    for (int check = 1; !stopSignals.waitForStop(kReachabilityCheck); ++check) {
        if (svcreg::Outcome reachable = daemon.stillReachable(); !reachable) return reachable;
        daemon.restoreDeclaredEntries();
        if (hangup.taken()) {
            reloadPolicy(daemon, policyFile);
            reloadDeclarations(daemon);
        }
        if (check % kChecksBetweenSweeps == 0) removeStaleFiles(daemon);
    }
    return svcreg::Outcome();
}

}  // namespace

int main(int argc, char** argv) {
    // Blocks of 128 KiB and more (large frames, replies and their copies) are always mapped
    // apart, and unmapped once freed. Else the allocator raises that bound to the largest block
    // freed so far and serves such blocks from its heaps, where what they leave between blocks
    // still in use stays resident: what peers hold would then cost more than it is counted as,
    // and not be given back once they let go of it.
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
    HangupSignal hangup;
    svcreg::StopSignals stopSignals;
    // A journal that may not grow past a file size limit refuses the change; it does not end
    // the daemon.
    signal(SIGXFSZ, SIG_IGN);
    DaemonOptions options;
    std::string error;
    if (!parseDaemonOptions(argc, argv, options, error)) return usageError("svcregd", error);
    if (options.helpWanted) {
        std::fputs(daemonUsage().c_str(), stdout);
        return 0;
    }
    if (options.versionWanted) {
        std::printf("svcregd %s\n", svcreg::packageVersion().c_str());
        return 0;
    }
    setDefaultLogThreshold(2 + options.verbosity);
    logToStandardError(standardErrorIsJournal());

    svcreg::HostOptions hostOptions;
    hostOptions.runtimeDirectory = options.runtimeDirectory;
    hostOptions.stateDirectory = options.stateDirectory;
    hostOptions.workerThreads = options.workerThreads;
    hostOptions.limits = options.limits;
    svcreg::AccessSettings access;
    access.group = options.group;
    access.policyFile = options.policyFile;
    access.quotas = options.quotas;
    // Declared before the host, so that it outlives it: the host tells it changes until it stops.
    FederationPlugin federation;
    svcreg::RegistryHost daemon(hostOptions, options.channel, access, options.liveness,
                                options.activation);
    daemon.reportLimits(namedLimits(options));
    if (const svcreg::Outcome started = daemon.start(options.library); !started) {
        std::fprintf(stderr, "svcregd: %s\n", started.reason().c_str());
        return 1;
    }
    if (options.federation.federating()) {
        if (const svcreg::Outcome joined =
                federation.start(options.federation, daemon.remoteDevices(), daemon.deviceCalls());
            !joined) {
            std::fprintf(stderr, "svcregd: %s\n", joined.reason().c_str());
            daemon.stop();
            return 1;
        }
    }
    std::fprintf(stderr, "svcregd: serving channel '%s' in '%s'\n", options.channel.c_str(),
                 options.runtimeDirectory.c_str());
    notifyServiceManager("READY=1");
    const svcreg::Outcome reachable =
        serveUntilStopped(stopSignals, hangup, daemon, options.policyFile);
    notifyServiceManager("STOPPING=1");
    federation.stop();
    daemon.stop();
    if (!reachable) {
        LOG_FAILURE("svcregd", "daemon/main.cpp", "%s: stopping", reachable.reason().c_str());
        return 1;
    }
    std::fprintf(stderr, "svcregd: stopped\n");
    return 0;
}
