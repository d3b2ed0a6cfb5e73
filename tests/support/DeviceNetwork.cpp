#include "DeviceNetwork.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <regex>
#include <sstream>

#include "Processes.h"

namespace {

const char* const kSwitchPort[] = {"porta", "portb"};
const char* const kBridge = "br0";
std::atomic<int> networksMade{0};

// What a program run to its end said.
struct CommandOutcome {
    int exitCode;
    std::string out;
    std::string err;
};

// Runs command (command[0] a path) to its end, 60 s at most.
CommandOutcome runCommand(const std::vector<std::string>& command) {
    TempDirectory outputs;
    ChildProcess process(command, outputs.path() + "/command");
    const int code = process.wait(std::chrono::seconds(60));
    return CommandOutcome{code, process.out(), process.err()};
}

std::string ipProgram() {
    for (const char* path : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"}) {
        if (access(path, X_OK) == 0) return path;
    }
    return {};
}

CommandOutcome ip(const std::vector<std::string>& arguments) {
    std::vector<std::string> command{ipProgram()};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return runCommand(command);
}

bool ipSucceeds(const std::vector<std::string>& arguments) {
    return ip(arguments).exitCode == 0;
}

// Namespaces of ours whose test process is gone: it died by a signal before its destructor ran.
void removeOrphans() {
    static const std::regex ours("svcreg-t([0-9]+)-[0-9]+-[abs]");
    std::istringstream listing(ip({"netns", "list"}).out);
    std::string line;
    while (std::getline(listing, line)) {
        const std::string name = line.substr(0, line.find(' '));
        std::smatch match;
        if (!std::regex_match(name, match, ours)) continue;
        const pid_t owner = static_cast<pid_t>(std::stol(match[1]));
        if (kill(owner, 0) != 0 && errno == ESRCH) ip({"netns", "delete", name});
    }
}

}  // namespace

std::string makeFederationPki(const std::string& folder, const std::vector<std::string>& devices,
                              bool withDdsperf) {
    std::vector<std::string> command{"/bin/bash", FEDERATION_PKI_SCRIPT};
    if (withDdsperf) command.push_back("--with-ddsperf");
    command.push_back(folder);
    command.insert(command.end(), devices.begin(), devices.end());
    const CommandOutcome outcome = runCommand(command);
    if (outcome.exitCode == 0) return {};
    return "federation-pki.sh exited with " + std::to_string(outcome.exitCode) + ": " + outcome.err;
}

// Named after the process and the networks it made before, so that two at once never meet.
DeviceNetwork::DeviceNetwork()
    : prefix("svcreg-t" + std::to_string(getpid()) + "-" + std::to_string(networksMade++)) {
    if (geteuid() != 0) {
        unavailable = "network namespaces need root";
    } else if (ipProgram().empty()) {
        unavailable = "no ip program (iproute2)";
    } else if (!make()) {
        removeNamespaces();
        made.clear();
    }
}

DeviceNetwork::~DeviceNetwork() {
    removeNamespaces();
}

std::string DeviceNetwork::namespaceName(Device device) const {
    return prefix + (device == A ? "-a" : "-b");
}

std::string DeviceNetwork::address(Device device) const {
    return device == A ? "10.77.0.1" : "10.77.0.2";
}

std::vector<std::string> DeviceNetwork::inside(Device device) const {
    return {ipProgram(), "netns", "exec", namespaceName(device)};
}

bool DeviceNetwork::make() {
    removeOrphans();
    const std::string switchName = prefix + "-s";
    for (const std::string& name : {namespaceName(A), namespaceName(B), switchName}) {
        const CommandOutcome added = ip({"netns", "add", name});
        if (added.exitCode != 0) {
            unavailable = "ip netns add " + name + " failed: " + added.err;
            return false;
        }
        made.push_back(name);
        ipSucceeds({"-n", name, "link", "set", "lo", "up"});
    }
    const bool bridged = ipSucceeds({"-n", switchName, "link", "add", kBridge, "type", "bridge",
                                     "mcast_snooping", "0"}) &&
                         ipSucceeds({"-n", switchName, "link", "set", kBridge, "up"});
    if (!bridged || !addDevice(A) || !addDevice(B)) {
        if (unavailable.empty()) unavailable = "the bridge in " + switchName + " failed";
        return false;
    }
    return true;
}

// The veth pair is made inside the switch's namespace and its device end moved into the
// device's at once: no interface ever appears in the machine's own namespace.
bool DeviceNetwork::addDevice(Device device) {
    const std::string switchName = prefix + "-s";
    const std::string deviceName = namespaceName(device);
    const std::string port = kSwitchPort[device];
    const CommandOutcome paired = ip({"-n", switchName, "link", "add", port, "type", "veth", "peer",
                                      "name", kInterface, "netns", deviceName});
    if (paired.exitCode != 0) {
        unavailable = "veth pair for " + deviceName + " failed: " + paired.err;
        return false;
    }
    const bool configured =
        ipSucceeds({"-n", switchName, "link", "set", port, "master", kBridge, "up"}) &&
        ipSucceeds({"-n", deviceName, "addr", "add", address(device) + "/24", "dev", kInterface}) &&
        ipSucceeds({"-n", deviceName, "link", "set", kInterface, "up"});
    if (!configured) unavailable = "addressing " + deviceName + " failed";
    return configured;
}

bool DeviceNetwork::cut(Device device) const {
    return ipSucceeds({"-n", prefix + "-s", "link", "set", kSwitchPort[device], "nomaster"});
}

bool DeviceNetwork::heal(Device device) const {
    return ipSucceeds({"-n", prefix + "-s", "link", "set", kSwitchPort[device], "master", kBridge});
}

void DeviceNetwork::removeNamespaces() const {
    for (auto name = made.rbegin(); name != made.rend(); ++name) ip({"netns", "delete", *name});
}
