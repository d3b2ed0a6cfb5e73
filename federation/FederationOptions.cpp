#include "FederationOptions.h"

#include <unistd.h>

#include <cctype>

namespace {

constexpr std::size_t kLongestDeviceName = 63;
constexpr std::uint32_t kLargestDomain = 232;  // DDS maps larger ids to no port
constexpr std::chrono::milliseconds kShortestLease{100};
constexpr std::chrono::milliseconds kLongestLease{3600 * 1000};

bool deviceNameCharacter(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.';
}

std::string securityDirectoryError(const std::string& directory) {
    for (const char* file : kSecurityFiles) {
        const std::string path = directory + "/" + file;
        if (access(path.c_str(), R_OK) != 0) {
            return "--federation-security names '" + directory + "', which holds no readable " +
                   file;
        }
    }
    return std::string();
}

}  // namespace

const char* const kSecurityFiles[6] = {"identity_ca.pem", "permissions_ca.pem", "device.pem",
                                       "device.key",      "governance.p7s",     "permissions.p7s"};

bool validDeviceName(const std::string& name) {
    if (name.empty() || name.size() > kLongestDeviceName) return false;
    for (const char c : name) {
        if (!deviceNameCharacter(c)) return false;
    }
    return true;
}

std::string federationOptionsError(const FederationOptions& options) {
    if (!options.federating()) return std::string();
    if (!validDeviceName(options.device)) {
        return "the device name '" + options.device +
               "' is not 1 to 63 letters, digits, '-', '_' or '.'";
    }
    if (options.domain > kLargestDomain) {
        return "--domain takes 0 to 232, not " + std::to_string(options.domain);
    }
    if (options.lease < kShortestLease || options.lease > kLongestLease) {
        return "--lease takes 0.1 to 3600 seconds";
    }
    for (const std::string& peer : options.peers) {
        if (peer.empty()) return "--federation-peers holds an empty address";
    }
    if (!options.securityDirectory.empty())
        return securityDirectoryError(options.securityDirectory);
    if (!options.insecure) {
        return "--federate needs --federation-security=DIR, or --federation-insecure to federate "
               "without authentication and encryption";
    }
    return std::string();
}
