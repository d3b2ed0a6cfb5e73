#include "ParticipantConfig.h"

namespace {

// text, safe inside an XML attribute or element.
std::string xmlEscaped(const std::string& text) {
    std::string escaped;
    for (const char c : text) {
        switch (c) {
            case '&':
                escaped += "&amp;";
                break;
            case '<':
                escaped += "&lt;";
                break;
            case '>':
                escaped += "&gt;";
                break;
            case '"':
                escaped += "&quot;";
                break;
            case '\'':
                escaped += "&apos;";
                break;
            default:
                escaped += c;
        }
    }
    return escaped;
}

std::string element(const std::string& name, const std::string& text) {
    return "<" + name + ">" + text + "</" + name + ">";
}

std::string generalSection(const FederationOptions& options) {
    const std::string interfaces =
        element("Interfaces", "<NetworkInterface name=\"" + xmlEscaped(options.interface) + "\"/>");
    const std::string multicast = options.peers.empty() ? "true" : "false";
    return element("General", interfaces + element("AllowMulticast", multicast));
}

std::string discoverySection(const FederationOptions& options) {
    std::string discovery = element("LeaseDuration", std::to_string(options.lease.count()) + "ms");
    if (!options.peers.empty()) {
        // Unicast discovery reaches a peer at the ports of the participant indices it tries.
        std::string peers;
        for (const std::string& peer : options.peers) {
            peers += "<Peer address=\"" + xmlEscaped(peer) + "\"/>";
        }
        discovery += element("ParticipantIndex", "auto") + element("Peers", peers);
    }
    return element("Discovery", discovery);
}

// A writer deleted goes at once, whatever its readers did not acknowledge yet, rather than
// lingering in dds_delete for a second (Cyclone's default) for their sake: the bridge deletes its
// writers on its own thread only once their readers have what they wrote, or are taken as lost
// (the entries' writer it made anew), or when the name or the domain is left, which drops all
// their device's samples at the others anyway.
std::string internalSection() {
    return element("Internal", element("WriterLingerDuration", "0s"));
}

std::string plugin(const std::string& directory, const std::string& library,
                   const std::string& kind) {
    return "<Library path=\"" + xmlEscaped(directory + "/lib" + library + ".so") +
           "\" initFunction=\"init_" + kind + "\" finalizeFunction=\"finalize_" + kind + "\"/>";
}

std::string fileUri(const std::string& directory, const char* file) {
    return "file:" + xmlEscaped(directory + "/" + file);
}

std::string securitySection(const std::string& directory, const std::string& plugins) {
    const std::string authentication =
        plugin(plugins, "dds_security_auth", "authentication") +
        element("IdentityCA", fileUri(directory, "identity_ca.pem")) +
        element("IdentityCertificate", fileUri(directory, "device.pem")) +
        element("PrivateKey", fileUri(directory, "device.key"));
    const std::string accessControl =
        plugin(plugins, "dds_security_ac", "access_control") +
        element("PermissionsCA", fileUri(directory, "permissions_ca.pem")) +
        element("Governance", fileUri(directory, "governance.p7s")) +
        element("Permissions", fileUri(directory, "permissions.p7s"));
    const std::string cryptography = plugin(plugins, "dds_security_crypto", "crypto");
    return element("Security", element("Authentication", authentication) +
                                   element("AccessControl", accessControl) +
                                   element("Cryptographic", cryptography));
}

}  // namespace

std::string participantConfig(const FederationOptions& options,
                              const std::string& pluginDirectory) {
    std::string domain = generalSection(options) + discoverySection(options) + internalSection();
    if (!options.securityDirectory.empty()) {
        domain += securitySection(options.securityDirectory, pluginDirectory);
    }
    return element("CycloneDDS", "<Domain id=\"any\">" + domain + "</Domain>");
}
