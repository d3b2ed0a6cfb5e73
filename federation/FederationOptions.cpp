#include "FederationOptions.h"

#include <unistd.h>

#include <fstream>
#include <iterator>

#include "ServiceRegistry/RemoteDevices.h"

namespace {

constexpr std::uint32_t kLargestDomain = 232;  // DDS maps larger ids to no port
// The largest domain DDS Security's governance and permissions documents can name.
constexpr std::uint32_t kLargestSecureDomain = 230;

std::string fileText(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::string securityDirectoryError(const std::string& directory) {
    for (const char* file : kSecurityFiles) {
        const std::string path = directory + "/" + file;
        if (access(path.c_str(), R_OK) != 0) {
            return "--federation-security names '" + directory + "', which holds no readable " +
                   file;
        }
    }
    if (fileText(directory + "/identity_ca.pem") == fileText(directory + "/permissions_ca.pem")) {
        // One CA for both lets any device sign permissions of its own, and so publish under
        // every device's name: this version of the engine checks a permissions document's
        // signer, not whether it may speak for the certificate's subject.
        return "--federation-security names '" + directory +
               "', whose identity CA is its permissions CA too: keep them apart";
    }
    return std::string();
}

}  // namespace

const char* const kSecurityFiles[6] = {"identity_ca.pem", "permissions_ca.pem", "device.pem",
                                       "device.key",      "governance.p7s",     "permissions.p7s"};

std::string federationOptionsError(const FederationOptions& options) {
    if (!options.federating()) return std::string();
    if (!svcreg::isDeviceName(options.device)) {
        return "the device name '" + options.device +
               "' is not 1 to 63 letters, digits, '-', '_' or '.'";
    }
    if (options.domain > kLargestDomain) {
        return "--domain takes 0 to 232, not " + std::to_string(options.domain);
    }
    if (!options.securityDirectory.empty() && options.domain > kLargestSecureDomain) {
        return "--domain takes 0 to 230 with --federation-security, whose documents name no "
               "larger one, not " +
               std::to_string(options.domain);
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
