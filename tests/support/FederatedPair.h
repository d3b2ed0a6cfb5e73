#pragma once

#include <array>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "DaemonUnderTest.h"
#include "DeviceNetwork.h"

// Two devices in network namespaces (DeviceNetwork), a test PKI, and a federated svcregd on
// each, lease 2 s: what the federation's tests share, made once for a suite's tests.
class FederatedPair {
public:
    using Device = DeviceNetwork::Device;
    // Discovery and the security handshake.
    static constexpr std::chrono::seconds kJoin{30};

    // extra[device] is added to that device's daemon's arguments.
    FederatedPair(bool secure, const std::array<std::vector<std::string>, 2>& extra = {});

    // The federating arguments of a daemon under name.
    std::vector<std::string> arguments(const std::string& name, const std::string& folder) const;
    // The security files of a device of this PKI.
    std::string securityFolder(const std::string& name) const { return pki.path() + "/" + name; }

    DaemonUnderTest& daemon(Device device) { return *daemons[device]; }

    const bool secure;
    DeviceNetwork network;
    TempDirectory pki;
    std::string problem;  // why the suite is skipped; empty when it runs
    // Destroyed before the network they run in.
    std::array<std::unique_ptr<DaemonUnderTest>, 2> daemons;
};

// The channel `svcreg find ifc` prints on daemon, empty when it finds none.
std::string found(const DaemonUnderTest& daemon, const std::string& ifc);
// True once `svcreg find ifc` on daemon prints channel, within deadline.
bool finds(const DaemonUnderTest& daemon, const std::string& ifc, const std::string& channel,
           std::chrono::milliseconds deadline = FederatedPair::kJoin);
bool registers(const DaemonUnderTest& daemon, const std::string& ifc, const std::string& channel);
