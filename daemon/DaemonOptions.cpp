#include "DaemonOptions.h"

#include <cstdlib>

#include "ServiceRegistry/Defaults.h"
#include "ServiceRegistry/RegistryHost.h"

namespace {

constexpr unsigned kMaxWorkerThreads = 64;

bool parseThreadCount(const std::string& text, unsigned& count) {
    char* end = nullptr;
    const unsigned long value = std::strtoul(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || value < 1 || value > kMaxWorkerThreads) return false;
    count = static_cast<unsigned>(value);
    return true;
}

}  // namespace

const char* daemonUsage() {
    return "Usage: svcregd [options]\n"
           "Serves the service registry on a channel: text commands and remote method calls.\n"
           "\n"
           "Options:\n"
           "  --runtime-dir DIR  where channel sockets live (default: $SVCREG_RUNTIME_DIR,\n"
           "                     else /run/svcreg for root, else $XDG_RUNTIME_DIR/svcreg,\n"
           "                     else /tmp/svcreg-<uid>)\n"
           "  --channel NAME     the registry's channel (default: svcreg)\n"
           "  --library PATH     the registry library (default: libServiceRegistry.so.1\n"
           "                     beside svcregd, else the one the system finds)\n"
           "  --threads N        threads that read connections and handle their requests,\n"
           "                     1 to 64 (default: 4)\n"
           "  --group NAME       members may connect; the socket is theirs to use (default:\n"
           "                     svcreg; '' for none: then only root and this user)\n"
           "  --policy FILE      who may change what (default: /etc/svcreg/policy.conf,\n"
           "                     then the *.conf files of /etc/svcreg/policy.d); without\n"
           "                     one, root and the group may change everything but other\n"
           "                     users' entries, which root alone may deregister\n"
           "  -v, --verbose      log more; repeat for more detail (-vvvv shows every trace)\n"
           "  -h, --help         show this help\n"
           "\n"
           "\n"
           "A policy line reads 'allow WHO WHAT [PATTERN]': WHO is user:NAME, group:NAME,\n"
           "uid:N, gid:N or *; WHAT is register, deregister (own entries), deregister-any,\n"
           "register-creator, subscribe or all; PATTERN is a shell pattern of interface\n"
           "names (default *). Looking up is open to everyone who may connect.\n"
           "\n"
           "Stops on SIGINT or SIGTERM and removes its socket. Exits 1 when its runtime\n"
           "directory or socket is removed or replaced under it.\n";
}

bool parseDaemonOptions(int argc, char** argv, DaemonOptions& options, std::string& error) {
    options.runtimeDirectory = svcreg::defaultDaemonRuntimeDirectory();
    options.channel = svcreg::kDefaultRegistryChannel;
    options.library = svcreg::defaultRegistryLibrary();
    const svcreg::AccessSettings access;
    options.group = access.group;
    options.policyFile = access.policyFile;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        const bool hasValue = i + 1 < argc;
        if (argument == "-h" || argument == "--help") {
            options.helpWanted = true;
        } else if (argument == "-v" || argument == "--verbose") {
            ++options.verbosity;
        } else if (argument.size() > 2 && argument.find_first_not_of('v', 1) == std::string::npos &&
                   argument[0] == '-') {
            options.verbosity += static_cast<int>(argument.size()) - 1;
        } else if (argument == "--runtime-dir" && hasValue) {
            options.runtimeDirectory = argv[++i];
        } else if (argument == "--channel" && hasValue) {
            options.channel = argv[++i];
        } else if (argument == "--library" && hasValue) {
            options.library = argv[++i];
        } else if (argument == "--group" && hasValue) {
            options.group = argv[++i];
        } else if (argument == "--policy" && hasValue) {
            options.policyFile = argv[++i];
        } else if (argument == "--threads" && hasValue) {
            if (!parseThreadCount(argv[++i], options.workerThreads)) {
                error = "--threads takes a number from 1 to 64";
                return false;
            }
        } else {
            error = "unknown option or missing value: '" + argument + "'";
            return false;
        }
    }
    return true;
}
