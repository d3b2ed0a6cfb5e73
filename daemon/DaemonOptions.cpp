#include "DaemonOptions.h"

#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "CommandLine.h"
#include "ServiceRegistry/Defaults.h"
#include "ServiceRegistry/RegistryHost.h"

namespace {

constexpr unsigned kMaxWorkerThreads = 64;

// The limits --limit sets, by name, in the order the help lists them.
const std::pair<const char*, std::size_t svcreg::ConnectionLimits::*> kConnectionLimits[] = {
    {"connections-per-user", &svcreg::ConnectionLimits::connectionsPerUser},
    {"connections", &svcreg::ConnectionLimits::connections},
    {"outbound-connections", &svcreg::ConnectionLimits::outboundConnections},
    {"queued-bytes-per-user", &svcreg::ConnectionLimits::queuedBytesPerUser},
    {"queued-bytes", &svcreg::ConnectionLimits::queuedBytes},
    {"unfinished-bytes-per-user", &svcreg::ConnectionLimits::unfinishedBytesPerUser},
    {"unfinished-bytes", &svcreg::ConnectionLimits::unfinishedBytes},
    {"watched-processes-per-user", &svcreg::ConnectionLimits::watchedProcessesPerUser},
    {"watched-processes", &svcreg::ConnectionLimits::watchedProcesses},
    {"log-lines-per-peer", &svcreg::ConnectionLimits::logLinesPerPeer},
};
const std::pair<const char*, std::chrono::seconds svcreg::ConnectionLimits::*> kTimeLimits[] = {
    {"stall-timeout", &svcreg::ConnectionLimits::stallTimeout},
    {"idle-timeout", &svcreg::ConnectionLimits::idleTimeout},
    {"log-interval", &svcreg::ConnectionLimits::logInterval},
};
const std::pair<const char*, std::size_t svcreg::RegistryQuotas::*> kRegistryQuotas[] = {
    {"entries-per-user", &svcreg::RegistryQuotas::entriesPerUser},
    {"entries", &svcreg::RegistryQuotas::entries},
    {"table-bytes-per-user", &svcreg::RegistryQuotas::tableBytesPerUser},
    {"table-bytes", &svcreg::RegistryQuotas::tableBytes},
    {"creators-per-user", &svcreg::RegistryQuotas::creatorsPerUser},
    {"creators", &svcreg::RegistryQuotas::creators},
    {"subscriptions-per-user", &svcreg::RegistryQuotas::subscriptionsPerUser},
    {"subscriptions", &svcreg::RegistryQuotas::subscriptions},
    {"changes-per-user-per-second", &svcreg::RegistryQuotas::changesPerUserPerSecond},
    {"change-bytes-per-user-per-second", &svcreg::RegistryQuotas::changeBytesPerUserPerSecond},
    {"listed-bytes-per-user-per-second", &svcreg::RegistryQuotas::listedBytesPerUserPerSecond},
    {"name-length", &svcreg::RegistryQuotas::nameLength},
    {"entries-per-device", &svcreg::RegistryQuotas::entriesPerDevice},
    {"changes-per-device-per-second", &svcreg::RegistryQuotas::changesPerDevicePerSecond},
    {"table-bytes-per-device", &svcreg::RegistryQuotas::tableBytesPerDevice},
    {"device-table-bytes", &svcreg::RegistryQuotas::deviceTableBytes},
};

// Large enough for any limit, small enough that no count or time built from it overflows.
constexpr unsigned long long kLargestLimit = 1ull << 32;

// "NAME=N", N from 1 to kLargestLimit, into the limit of that name.
bool parseLimit(const std::string& text, DaemonOptions& options) {
    const std::size_t equals = text.find('=');
    if (equals == std::string::npos || equals + 1 == text.size()) return false;
    const std::string name = text.substr(0, equals);
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text.c_str() + equals + 1, &end, 10);
    if (*end != '\0' || value == 0 || value > kLargestLimit || text[equals + 1] == '-') {
        return false;
    }
    for (const auto& [known, field] : kConnectionLimits) {
        if (name == known) return (options.limits.*field = value), true;
    }
    for (const auto& [known, field] : kTimeLimits) {
        if (name == known) return (options.limits.*field = std::chrono::seconds(value)), true;
    }
    for (const auto& [known, field] : kRegistryQuotas) {
        if (name == known) return (options.quotas.*field = value), true;
    }
    return false;
}

// "  name N, name N,": the limits and their defaults, wrapped within 80 columns.
std::string limitsHelp() {
    const std::vector<std::pair<std::string, std::string>> limits = namedLimits(DaemonOptions());
    std::string help, line = " ";
    for (std::size_t i = 0; i < limits.size(); ++i) {
        const std::string item =
            " " + limits[i].first + " " + limits[i].second + (i + 1 < limits.size() ? "," : "\n");
        if (line.size() + item.size() > 79) {
            help += line + "\n";
            line = " ";
        }
        line += item;
    }
    return help + line;
}

std::string hostName() {
    char name[256] = {};
    gethostname(name, sizeof name - 1);
    return name;
}

bool parseThreadCount(const std::string& text, unsigned& count) {
    char* end = nullptr;
    const unsigned long value = std::strtoul(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || value < 1 || value > kMaxWorkerThreads) return false;
    count = static_cast<unsigned>(value);
    return true;
}

enum LongOnly {
    kRuntimeDir = 256,
    kStateDir,
    kChannel,
    kLibrary,
    kThreads,
    kGroup,
    kPolicy,
    kLimit,
    kKeepDeadEntries,
    kForgetOnRestart,
    kAllowControlCharacters,
    kFederate,
    kDevice,
    kDomain,
    kFederationPeers,
    kLease,
    kFederationSecurity,
    kFederationInsecure,
    kCallPort,
    kServicesDir,
    kLauncher,
    kStartTimeout
};

const std::vector<option> kOptions = {
    {"runtime-dir", required_argument, nullptr, kRuntimeDir},
    {"state-dir", required_argument, nullptr, kStateDir},
    {"channel", required_argument, nullptr, kChannel},
    {"library", required_argument, nullptr, kLibrary},
    {"threads", required_argument, nullptr, kThreads},
    {"group", required_argument, nullptr, kGroup},
    {"policy", required_argument, nullptr, kPolicy},
    {"limit", required_argument, nullptr, kLimit},
    {"keep-dead-entries", no_argument, nullptr, kKeepDeadEntries},
    {"forget-on-restart", no_argument, nullptr, kForgetOnRestart},
    {"allow-control-characters", no_argument, nullptr, kAllowControlCharacters},
    {"federate", required_argument, nullptr, kFederate},
    {"device", required_argument, nullptr, kDevice},
    {"domain", required_argument, nullptr, kDomain},
    {"federation-peers", required_argument, nullptr, kFederationPeers},
    {"lease", required_argument, nullptr, kLease},
    {"federation-security", required_argument, nullptr, kFederationSecurity},
    {"federation-insecure", no_argument, nullptr, kFederationInsecure},
    {"call-port", required_argument, nullptr, kCallPort},
    {"services-dir", required_argument, nullptr, kServicesDir},
    {"launcher", required_argument, nullptr, kLauncher},
    {"start-timeout", required_argument, nullptr, kStartTimeout},
};

constexpr unsigned long kLongestStartTimeout = 3600;

bool parseStartTimeout(const std::string& text, std::chrono::seconds& timeout) {
    char* end = nullptr;
    const unsigned long value = std::strtoul(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || text[0] == '-' || value < 1 ||
        value > kLongestStartTimeout) {
        return false;
    }
    timeout = std::chrono::seconds(value);
    return true;
}

// "A,B,C" into its words; an empty word stays, for the check to refuse.
std::vector<std::string> commaSeparated(const std::string& text) {
    std::vector<std::string> words;
    std::size_t start = 0;
    for (std::size_t comma; (comma = text.find(',', start)) != std::string::npos;
         start = comma + 1) {
        words.push_back(text.substr(start, comma - start));
    }
    words.push_back(text.substr(start));
    return words;
}

// Seconds, with a fraction if wanted, into milliseconds; false for anything else.
bool parseSeconds(const std::string& text, std::chrono::milliseconds& duration) {
    char* end = nullptr;
    errno = 0;
    const double seconds = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || errno != 0 || !(seconds >= 0 && seconds <= 1e6)) {
        return false;
    }
    duration = std::chrono::milliseconds(static_cast<std::int64_t>(seconds * 1000));
    return true;
}

bool parsePort(const std::string& text, std::uint16_t& port) {
    char* end = nullptr;
    const unsigned long value = std::strtoul(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || text[0] == '-' || value > 65535) return false;
    port = static_cast<std::uint16_t>(value);
    return true;
}

bool parseDomain(const std::string& text, std::uint32_t& domain) {
    char* end = nullptr;
    const unsigned long value = std::strtoul(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || text[0] == '-' || value > 0xffffffffUL) return false;
    domain = static_cast<std::uint32_t>(value);
    return true;
}

// One option of federation's; false, with a message, for a value it cannot use.
bool takeFederationOption(int option, FederationOptions& federation, std::string& error) {
    switch (option) {
        case kFederate:
            federation.interface = optarg;
            break;
        case kDevice:
            federation.device = optarg;
            break;
        case kFederationPeers:
            federation.peers = commaSeparated(optarg);
            break;
        case kFederationSecurity:
            federation.securityDirectory = optarg;
            break;
        case kFederationInsecure:
            federation.insecure = true;
            break;
        case kDomain:
            if (parseDomain(optarg, federation.domain)) return true;
            error = "--domain takes a number from 0 to 232, not '" + std::string(optarg) + "'";
            return false;
        case kCallPort:
            if (parsePort(optarg, federation.callPort)) return true;
            error = "--call-port takes a port from 0 to 65535, not '" + std::string(optarg) + "'";
            return false;
        case kLease:
            if (parseSeconds(optarg, federation.lease)) return true;
            error = "--lease takes seconds, such as 2 or 0.5, not '" + std::string(optarg) + "'";
            return false;
    }
    return true;
}

// One option of the declared services'; false, with a message, for a value it cannot use.
bool takeActivationOption(int option, svcreg::ActivationSettings& activation, std::string& error) {
    switch (option) {
        case kServicesDir:
            activation.servicesDirectories.push_back(optarg);
            break;
        case kLauncher:
            activation.launcher = optarg;
            break;
        case kStartTimeout:
            if (parseStartTimeout(optarg, activation.startTimeout)) return true;
            error =
                "--start-timeout takes seconds from 1 to 3600, not '" + std::string(optarg) + "'";
            return false;
    }
    return true;
}

// One option of the daemon's own that getopt_long returned; false, with a message, for a value
// it cannot use.
bool takeOption(int option, DaemonOptions& options, std::string& error) {
    switch (option) {
        case kServicesDir:
        case kLauncher:
        case kStartTimeout:
            return takeActivationOption(option, options.activation, error);
        case kKeepDeadEntries:
            options.liveness.removeDeadOwners = false;
            break;
        case kForgetOnRestart:
            options.liveness.keepTables = false;
            break;
        case kAllowControlCharacters:
            options.quotas.controlCharactersInNames = true;
            break;
        case kRuntimeDir:
            options.runtimeDirectory = optarg;
            break;
        case kStateDir:
            options.stateDirectory = optarg;
            break;
        case kChannel:
            options.channel = optarg;
            break;
        case kLibrary:
            options.library = optarg;
            break;
        case kGroup:
            options.group = optarg;
            break;
        case kPolicy:
            // Unlike the default file, one named here must be there: a typo would otherwise
            // leave the registry open to everything the policy without a file allows.
            options.policyFile = optarg;
            if (*optarg == '\0' || access(optarg, F_OK) == 0) return true;
            error = std::string("--policy names '") + optarg + "': " + std::strerror(errno);
            return false;
        case kLimit:
            if (parseLimit(optarg, options)) return true;
            error =
                std::string("--limit takes NAME=N, N from 1, NAME a limit the help lists: not '") +
                optarg + "'";
            return false;
        case kThreads:
            if (parseThreadCount(optarg, options.workerThreads)) return true;
            error = "--threads takes a number from 1 to 64, not '" + std::string(optarg) + "'";
            return false;
        default:
            return takeFederationOption(option, options.federation, error);
    }
    return true;
}

}  // namespace

std::vector<std::pair<std::string, std::string>> namedLimits(const DaemonOptions& options) {
    std::vector<std::pair<std::string, std::string>> limits;
    for (const auto& [name, field] : kConnectionLimits) {
        limits.emplace_back(name, std::to_string(options.limits.*field));
    }
    for (const auto& [name, field] : kTimeLimits) {
        limits.emplace_back(name, std::to_string((options.limits.*field).count()));
    }
    for (const auto& [name, field] : kRegistryQuotas) {
        limits.emplace_back(name, std::to_string(options.quotas.*field));
    }
    return limits;
}

std::string daemonUsage() {
    return "Usage: svcregd [options]\n"
           "Serves the service registry on a channel, to text commands and remote calls.\n"
           "\n"
           "Options:\n"
           "  --runtime-dir=DIR  where channel sockets live (default: $SVCREG_RUNTIME_DIR,\n"
           "                     else /run/svcreg for root, else $XDG_RUNTIME_DIR/svcreg,\n"
           "                     else /tmp/svcreg-<uid>)\n"
           "  --state-dir=DIR    where the daemon keeps its journal, its claim of the\n"
           "                     channel and the table it shares with its clients,\n"
           "                     which only its user may write (default: the runtime\n"
           "                     directory's name with .daemon; '' for none: then it\n"
           "                     keeps its claim in the runtime directory, as a service\n"
           "                     does, and neither a journal nor a shared table)\n"
           "  --channel=NAME     the registry's channel (default: svcreg)\n"
           "  --library=PATH     the registry library (default: libServiceRegistry.so.1\n"
           "                     beside svcregd, else the one the system finds)\n"
           "  --threads=N        threads that read connections and handle their requests,\n"
           "                     1 to 64 (default: 4)\n"
           "  --group=NAME       members may connect; the socket is theirs to use (default:\n"
           "                     svcreg; '' for none: then only root and this user)\n"
           "  --policy=FILE      who may change what (default: /etc/svcreg/policy.conf,\n"
           "                     then the *.conf files of /etc/svcreg/policy.d); without\n"
           "                     one, root and the group may change everything but other\n"
           "                     users' entries, which root alone may deregister; a\n"
           "                     file named here must exist ('' for none: the rules\n"
           "                     without one), and each is read only when root's or\n"
           "                     this user's and not group or other writable\n"
           "  --limit=NAME=N     sets a limit below; repeat for more\n"
           "  --keep-dead-entries\n"
           "                     keep the entries of a channel whose process has ended\n"
           "                     (default: remove them within a second)\n"
           "  --forget-on-restart\n"
           "                     keep the tables in memory only (default: also in the\n"
           "                     runtime directory, for a restarted daemon to find)\n"
           "  --allow-control-characters\n"
           "                     let names hold control characters (default: refused,\n"
           "                     as a terminal listing them would act on them)\n"
           "  --federate=IFACE   join the other devices' registries over DDS on this\n"
           "                     network interface (default: none, no federation)\n"
           "  --device=NAME      this device's name, after '@' in its entries elsewhere\n"
           "                     (default: the host name); refused while another live\n"
           "                     device holds it\n"
           "  --domain=N         the DDS domain, 0 to 232 (default: 0)\n"
           "  --federation-peers=ADDR,...\n"
           "                     discover these addresses by unicast, and use no\n"
           "                     multicast (default: discovery by multicast)\n"
           "  --lease=S          a device silent this many seconds is gone, its entries\n"
           "                     with it (default: 2)\n"
           "  --federation-security=DIR\n"
           "                     DDS Security's files: identity_ca.pem, permissions_ca.pem,\n"
           "                     device.pem, device.key, governance.p7s, permissions.p7s\n"
           "  --federation-insecure\n"
           "                     federate without DDS Security: nothing authenticated,\n"
           "                     nothing encrypted (logged as a warning at each start)\n"
           "  --call-port=N      the TCP port of the links that carry calls to and from\n"
           "                     other devices, on IFACE's IPv4 address (default: 0, any\n"
           "                     free port; announced to the others over DDS)\n"
           "  --services-dir=DIR the folder of the declared services, files NAME.service;\n"
           "                     repeat for more, a later folder's file replacing an\n"
           "                     earlier one's of the same name (default:\n"
           "                     /usr/share/svcreg/services, then /etc/svcreg/services)\n"
           "  --launcher=PATH    the program that starts a declared service (default:\n"
           "                     " +
           svcreg::defaultLauncher() +
           ";\n"
           "                     '' for none: then no service is declared or started)\n"
           "  --start-timeout=S  a started service that has not registered within S\n"
           "                     seconds, 1 to 3600, has failed, and is killed if it runs\n"
           "                     as this user (default: 10)\n"
           "  -v, --verbose      log more: -v each change with who made it, -vv the\n"
           "                     library's own lines too, -vvvv every trace; the lines\n"
           "                     a peer's requests make within log-lines-per-peer\n"
           "  -h, --help         show this help\n"
           "      --version      show the version\n"
           "'--channel NAME' works as '--channel=NAME' does.\n"
           "\n"
           "A policy line reads 'allow WHO WHAT [PATTERN]': WHO is user:NAME, group:NAME,\n"
           "uid:N, gid:N or *, or for callers on other devices device:NAME (or device:*)\n"
           "and user:NAME@DEVICE, to which no other rule applies; WHAT is register,\n"
           "deregister (own entries), deregister-any, register-creator, subscribe or all;\n"
           "PATTERN is a shell pattern of interface names (default *). Looking up is open\n"
           "to everyone who may connect.\n"
           "\n"
           "Limits, with their defaults: per user (by the uid of a peer's process; the\n"
           "callers on another device share their device's) and in total; sizes in bytes,\n"
           "times in seconds. A request that would pass one is refused whole, and a\n"
           "connection that passes one closed, with a log line naming the peer and the\n"
           "limit. The connection caps are lowered to fit the descriptor\n"
           "limit (ulimit -n).\n" +
           limitsHelp() +
           "\n"
           "\n"
           "Entries at a channel served from the runtime directory go when the process\n"
           "serving it ends; those at other channels stay. Each change is written to\n"
           "DIR/.CHANNEL.journal before it is acknowledged: a daemon started again, after\n"
           "a crash too, has every entry with its service id, the creators and the next\n"
           "id, less the entries of processes that ended meanwhile. At start and once a\n"
           "minute, the socket and lock files of channels nobody serves are removed.\n"
           "\n"
           "A lookup of a declared interface nobody serves starts its service once, through\n"
           "the launcher, and is answered once the service has registered; a start that\n"
           "fails is tried again after 1 s, then twice as long each time up to 60 s, and\n"
           "lookups meanwhile fail at once with the reason.\n"
           "\n"
           "Stops on SIGINT or SIGTERM, and leaves its socket: the channel's name stays\n"
           "its user's, for no member to take, and is replaced when it serves again. Exits\n"
           "1 when its runtime directory or socket is removed or replaced under it. On\n"
           "SIGHUP, within a second, reads the policy again: a policy that cannot be read\n"
           "(a line it cannot parse, a file not to be trusted, a policy file gone) is\n"
           "logged and the one in force stays. It reads the declarations again too: each\n"
           "file refused is logged with why, the others are in force, and declared services\n"
           "keep their state.\n";
}

bool parseDaemonOptions(int argc, char** argv, DaemonOptions& options, std::string& error) {
    options.runtimeDirectory = svcreg::defaultDaemonRuntimeDirectory();
    options.channel = svcreg::kDefaultRegistryChannel;
    options.library = svcreg::defaultRegistryLibrary();
    const svcreg::AccessSettings access;
    options.group = access.group;
    options.policyFile = access.policyFile;
    options.activation.launcher = svcreg::defaultLauncher();
    const std::string unnamed(1, '\0');  // no name a command line can give
    options.stateDirectory = unnamed;
    const int firstWord = readOptions(
        argc, argv, "", kOptions, options,
        [&](int option, std::string& refusal) { return takeOption(option, options, refusal); },
        error);
    if (firstWord < 0) return false;
    if (firstWord < argc) {
        error = std::string("takes no arguments, but was given '") + argv[firstWord] + "'";
        return false;
    }
    // Beside the runtime directory, not in it: nothing a member may put there is in the way.
    if (options.federation.device.empty()) options.federation.device = hostName();
    options.federation.entriesPerDevice = options.quotas.entriesPerDevice;
    options.federation.changesPerDevicePerSecond = options.quotas.changesPerDevicePerSecond;
    if (error = federationOptionsError(options.federation); !error.empty()) return false;
    if (options.stateDirectory == unnamed) {
        std::string runtime = options.runtimeDirectory;
        while (runtime.size() > 1 && runtime.back() == '/') runtime.pop_back();
        options.stateDirectory = runtime + ".daemon";
    }
    return true;
}
