#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "ServiceRegistry/Limits.h"

// How this device joins the federation, from the daemon's options.
struct FederationOptions {
    std::string interface;  // the network interface; empty: the daemon does not federate
    std::string device;     // this device's name, as others find its entries after '@'
    std::uint32_t domain = 0;
    std::vector<std::string> peers;  // unicast addresses; none: discovery by multicast
    std::chrono::milliseconds lease{2000};
    std::string securityDirectory;  // the six files of DDS Security; empty for none
    bool insecure = false;          // federate without DDS Security, which must be asked for
    std::uint16_t callPort = 0;     // where the links for calls listen; 0: any free port
    // The registry's limit of entries per device: the readers of one device's entries, and of
    // its creators, hold one more at most.
    std::size_t entriesPerDevice = svcreg::RegistryQuotas().entriesPerDevice;
    // The changes of one device's entries and creators taken a second, past a burst of what
    // its readers hold.
    std::size_t changesPerDevicePerSecond = svcreg::RegistryQuotas().changesPerDevicePerSecond;

    bool federating() const { return !interface.empty(); }
};

// The leases a daemon takes.
constexpr std::chrono::milliseconds kShortestLease{100};
constexpr std::chrono::milliseconds kLongestLease{3600 * 1000};

// The files a security directory holds, in the order the configuration names them.
extern const char* const kSecurityFiles[6];

// Why options cannot federate (a device name DDS partitions cannot carry, a lease out of range,
// a security directory without its files, neither security nor --federation-insecure), or
// empty when they can.
std::string federationOptionsError(const FederationOptions& options);
