#include "RegistryGate.h"

#include <algorithm>
#include <cstdio>

#include "HostLog.h"
#include "PeerAccount.h"
#include "PrintableText.h"
#include "ServiceRegistry/RemoteDevices.h"

namespace svcreg {

namespace {

std::string tooLong(const std::string& name, std::size_t limit) {
    return "a name of " + std::to_string(name.size()) + " bytes, over the limit of " +
           std::to_string(limit);
}

// The length of the control character at name[at]: a C0 one or DEL (one byte), a C1 one
// (U+0080 to U+009F) written in UTF-8 (two), or a lone byte of the C1 range, which a terminal
// reading Latin-1 acts on (one); 0 when there is none there.
std::size_t controlCharacterAt(const std::string& name, std::size_t at) {
    const auto byte = [&name](std::size_t i) { return static_cast<unsigned char>(name[i]); };
    const unsigned char lead = byte(at);
    if (lead < 0x20 || lead == 0x7f) return 1;
    if (lead == 0xc2 && at + 1 < name.size() && byte(at + 1) >= 0x80 && byte(at + 1) < 0xa0) {
        return 2;
    }
    return lead >= 0x80 && lead < 0xa0 ? 1 : 0;
}

// Why name may not be used: too long, or holding a control character unless they are
// allowed; empty when it may.
std::string problemOf(const std::string& name, std::size_t limit, bool controlCharacters) {
    if (name.size() > limit) return tooLong(name, limit);
    if (controlCharacters) return std::string();
    for (std::size_t at = 0; at < name.size();) {
        const std::size_t printable = printableUtf8At(name, at);
        const std::size_t control = printable == 0 ? controlCharacterAt(name, at) : 0;
        if (control != 0) {
            std::string code;
            for (std::size_t i = at; i < at + control; ++i) {
                char hex[8];
                std::snprintf(hex, sizeof(hex), " 0x%02x", static_cast<unsigned char>(name[i]));
                code += hex;
            }
            return "a name holding a control character (byte" +
                   std::string(control > 1 ? "s" : "") + code + "), which names may not";
        }
        at += printable != 0 ? printable : 1;
    }
    return std::string();
}

// The text replies separate channels with ',' and wrap each entry of the details list in '('
// and ')', so a name holding one of them would read there as another entry: one of a name its
// registrant may not register, say.
constexpr char kTextSeparators[] = ",()";
// Another device's names may hold none of them either, nor '@', which names a device, nor a
// space, which separates names: they would read as a local entry, or as another.
constexpr char kDeviceSeparators[] = ",()@ \t";

// Why a name holding one of separators may not be taken; empty when it may.
std::string separatorProblemOf(const std::string& name, const char* separators) {
    const std::size_t at = name.find_first_of(separators);
    if (at == std::string::npos) return std::string();
    return std::string("a name holding '") + name[at] +
           "', which the text replies would read as a separator";
}

}  // namespace

RegistryGate::RegistryGate(AccessPolicy policy, gid_t accessGroup, std::string accessGroupName,
                           const RegistryQuotas& quotas)
    : policy(std::make_shared<const AccessPolicy>(std::move(policy))),
      accessGroup(accessGroup),
      accessGroupName(std::move(accessGroupName)),
      nameLength(quotas.nameLength),
      controlCharactersInNames(quotas.controlCharactersInNames) {}

// A caller of another device is here because the registry daemon serving the gateway vouched for
// it: it may look up, and change what the policy's rules of its device allow.
bool RegistryGate::admitsPeer(const PeerCredentials& peer, const std::string& servedChannel) {
    if (!servedChannel.empty() || peer.isRemote() || isPrivileged(peer)) return true;
    if (accessGroup != static_cast<gid_t>(-1) && peer.inGroup(accessGroup)) return true;
    HOST_PEER_FAILURE(LogLimiter::aboutUser(peer.uid),
                      "Refused connection from %s: only root and members of group '%s' may use the "
                      "registry",
                      peer.describe().c_str(), accessGroupName.c_str());
    return false;
}

bool RegistryGate::mayRemoveOthers(const PeerCredentials& peer, const std::string& ifc) const {
    return currentPolicy()->permits(peer, Permission::DeregisterAny, ifc);
}

void RegistryGate::replacePolicy(AccessPolicy replacement) {
    std::shared_ptr<const AccessPolicy> next =
        std::make_shared<const AccessPolicy>(std::move(replacement));
    MutexLock lock(policyMutex);
    policy.swap(next);
}

std::shared_ptr<const AccessPolicy> RegistryGate::currentPolicy() const {
    MutexLock lock(policyMutex);
    return policy;
}

std::string RegistryGate::refusalOf(const PeerCredentials& peer, const RegistryChange& change,
                                    std::size_t maxNames) const {
    const std::shared_ptr<const AccessPolicy> inForce = currentPolicy();
    if (change.kind == RegistryChange::Kind::Subscribe) {
        if (!inForce->permits(peer, Permission::Subscribe, ""))
            return whoMayNot(peer) + "subscribe";
        if (change.channel.empty()) return "names no channel to announce new interfaces to";
        return std::string();
    }
    const std::size_t count = std::count(change.names.begin(), change.names.end(), ' ') + 1;
    if (count > maxNames) {
        return "names " + std::to_string(count) + " interfaces, more than the " +
               std::to_string(maxNames) + " one user may register";
    }
    std::string remote = remoteChannelRefusal(change);
    if (!remote.empty()) return remote;
    const std::vector<std::string>& interfaces = change.interfaces();
    // Names already held may still be removed, whatever they hold.
    const bool adds = change.kind != RegistryChange::Kind::Deregister;
    for (const std::string* name : change.otherNames()) {
        std::string problem = problemOf(*name, nameLength, controlCharactersInNames);
        if (problem.empty() && adds) problem = separatorProblemOf(*name, kTextSeparators);
        if (!problem.empty()) return problem;
    }
    for (const std::string& name : interfaces) {
        std::string problem = problemOf(name, nameLength, controlCharactersInNames);
        if (problem.empty() && adds) problem = separatorProblemOf(name, kTextSeparators);
        if (!problem.empty()) return problem;
    }
    for (const std::string& ifc : interfaces) {
        if (!inForce->permits(peer, change.permission(), ifc)) {
            return whoMayNot(peer) + change.verb() + " '" + ifc + "'";
        }
    }
    return std::string();
}

// A caller on another device is told how it is known here, since only rules naming its device
// or its user there apply to it.
std::string RegistryGate::whoMayNot(const PeerCredentials& peer) {
    return peer.isRemote() ? peer.describe() + " may not " : "may not ";
}

// Other devices' entries are theirs to change: here they are read-only.
std::string RegistryGate::remoteChannelRefusal(const RegistryChange& change) {
    if (change.channel.find('@') == std::string::npos) return std::string();
    if (change.kind == RegistryChange::Kind::Deregister) {
        return "remote entries are read-only here: " + change.channel + " belongs to device " +
               deviceOfChannel(change.channel);
    }
    if (change.kind == RegistryChange::Kind::Register) {
        return "a channel name with '@' names another device's channel";
    }
    return std::string();
}

std::string RegistryGate::refusalOfRemote(const std::string& device,
                                          const ServiceRecord& entry) const {
    if (entry.ifc.empty() || entry.channel.empty()) return "an entry without interface or channel";
    if (entry.channel[0] == ':') return "a private channel, which never leaves its device";
    return refusalOfDevice(device, entry.ifc, {entry.ifc, entry.channel});
}

std::string RegistryGate::refusalOfRemote(const std::string& device,
                                          const RemoteCreator& creator) const {
    if (creator.ifc.empty()) return "a creator without interface";
    return refusalOfDevice(device, creator.ifc,
                           {creator.ifc, creator.protocol, creator.lib, creator.creatorFn});
}

std::string RegistryGate::refusalOfDevice(const std::string& device, const std::string& ifc,
                                          std::initializer_list<std::string> names) const {
    if (!isDeviceName(device))
        return "a device name that is not 1 to 63 letters, digits, '-', '_' or '.'";
    for (const std::string& name : names) {
        std::string problem = problemOf(name, nameLength, controlCharactersInNames);
        if (problem.empty()) problem = separatorProblemOf(name, kDeviceSeparators);
        if (!problem.empty()) return problem;
    }
    if (!currentPolicy()->permitsDevice(device, ifc)) return "may not publish '" + ifc + "'";
    return std::string();
}

}  // namespace svcreg
