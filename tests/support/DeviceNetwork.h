#pragma once

#include <string>
#include <vector>

// Two devices on one Ethernet segment, for the federation tests and benchmarks: network
// namespaces A and B, each with an interface kInterface, joined by veth pairs to a third
// namespace, S, that holds a Linux bridge (the switch, multicast snooping off so that DDS's
// multicast discovery floods as on a plain switch). Addresses exist only inside A and B
// (10.77.0.0/24); nothing is made in, or sent from, the machine's own namespace.
//
// The namespaces are named after this process (svcreg-t<pid>-<n>-a, -b, -s), so that tests
// running side by side never meet, and removed by the destructor, or at once when making them fails
// halfway. Namespaces left by a test process that died by a signal are removed by the next one.
class DeviceNetwork {
public:
    enum Device { A, B };
    static constexpr const char* kInterface = "fed0";

    // Never fails loudly: when the namespaces cannot be made (not root, no `ip netns`), ready()
    // is false and unavailableReason() says why, for the caller to skip.
    DeviceNetwork();
    ~DeviceNetwork();
    DeviceNetwork(const DeviceNetwork&) = delete;
    DeviceNetwork& operator=(const DeviceNetwork&) = delete;

    bool ready() const { return unavailable.empty(); }
    const std::string& unavailableReason() const { return unavailable; }

    static std::string name(Device device) { return device == A ? "A" : "B"; }
    std::string address(Device device) const;
    std::string namespaceName(Device device) const;
    // The start of a command line that runs the rest inside device's namespace.
    std::vector<std::string> inside(Device device) const;

    // Cuts device off the switch without a sign: its port leaves the bridge while every carrier
    // stays up, as when a cable further on breaks or a switch drops frames. heal puts it back.
    bool cut(Device device) const;
    bool heal(Device device) const;

private:
    bool make();
    bool addDevice(Device device);
    void removeNamespaces() const;

    std::string prefix;
    std::vector<std::string> made;  // namespaces created, removed in reverse
    std::string unavailable;
};

// A test PKI made by scripts/federation-pki.sh in folder for devices (folder/<device>/ is what
// svcregd --federation-security takes); withDdsperf lets the devices run ddsperf as well. Empty
// on success, else what the script said.
std::string makeFederationPki(const std::string& folder, const std::vector<std::string>& devices,
                              bool withDdsperf = false);
