#include "FederatedPair.h"

FederatedPair::FederatedPair(bool secure, const std::array<std::vector<std::string>, 2>& extra)
    : secure(secure) {
    if (!network.ready()) {
        problem = network.unavailableReason();
        return;
    }
    problem = makeFederationPki(pki.path(), {"A", "B"});
    if (!problem.empty()) return;
    // svcregd on each device's network under its name, with its security files when secure.
    for (const Device device : {DeviceNetwork::A, DeviceNetwork::B}) {
        const std::string name = DeviceNetwork::name(device);
        std::vector<std::string> all = arguments(name, securityFolder(name));
        all.insert(all.end(), extra[device].begin(), extra[device].end());
        daemons[device] = std::make_unique<DaemonUnderTest>(all, network.inside(device));
    }
}

std::vector<std::string> FederatedPair::arguments(const std::string& name,
                                                  const std::string& folder) const {
    return {std::string("--federate=") + DeviceNetwork::kInterface, "--device=" + name, "--lease=2",
            secure ? "--federation-security=" + folder : "--federation-insecure"};
}

std::string found(const DaemonUnderTest& daemon, const std::string& ifc) {
    const ClientResult result = daemon.client({"find", ifc});
    return result.exitCode == 0 ? result.out : std::string();
}

bool finds(const DaemonUnderTest& daemon, const std::string& ifc, const std::string& channel,
           std::chrono::milliseconds deadline) {
    return eventually([&] { return found(daemon, ifc) == channel + "\n"; }, deadline);
}

bool registers(const DaemonUnderTest& daemon, const std::string& ifc, const std::string& channel) {
    return daemon.client({"reg", ifc, channel}).exitCode == 0;
}
