#include "RegistryGate.h"

#include <unistd.h>

#include <algorithm>
#include <string_view>

#include "HostLog.h"
#include "Method.h"
#include "MethodBytes.h"
#include "ProtocolAdapter.h"
#include "RegistryEventsProtocol.h"
#include "RegistryTextProtocol.h"

namespace svcreg {

namespace {

// Enough of a request to recognise it in a log line.
constexpr std::size_t kLoggedRequestLength = 120;

const char* verbOf(Permission what) {
    switch (what) {
        case Permission::Register:
            return "register";
        case Permission::Deregister:
        case Permission::DeregisterAny:
            return "deregister";
        case Permission::RegisterCreator:
            return "register creators of";
        case Permission::Subscribe:
            break;
    }
    return "subscribe to";
}

std::string inputOf(const Method& method, const std::string& name) {
    std::string value;
    method.getStringParameter(name, value, Parameter::IN);
    return value;
}

std::string tooLong(const std::string& name, std::size_t limit) {
    return "a name of " + std::to_string(name.size()) + " bytes, over the limit of " +
           std::to_string(limit);
}

}  // namespace

RegistryGate::RegistryGate(AccessPolicy policy, gid_t accessGroup, std::string accessGroupName,
                           const RegistryQuotas& quotas, ProtocolAdapter& adapter)
    : policy(std::move(policy)),
      accessGroup(accessGroup),
      accessGroupName(std::move(accessGroupName)),
      quotas(quotas),
      adapter(adapter),
      usage(quotas) {}

bool RegistryGate::admitsPeer(const PeerCredentials& peer, const std::string& servedChannel) {
    if (!servedChannel.empty() || peer.isRoot() || peer.uid == geteuid()) return true;
    if (accessGroup != static_cast<gid_t>(-1) && peer.inGroup(accessGroup)) return true;
    HOST_FAILURE(
        "Refused connection from %s: only root and members of group '%s' may use the "
        "registry",
        peer.describe().c_str(), accessGroupName.c_str());
    return false;
}

// Lookups, nearly every message, pass on their command word alone.
bool RegistryGate::admitsMessage(const PeerCredentials& peer, const std::string& text,
                                 std::string& refusal) {
    const std::string_view command = std::string_view(text).substr(0, text.find(':'));
    const bool registration = command == RegistryText::kRegister;
    const bool creator =
        command == RegistryText::kRegisterInvoker || command == RegistryText::kRegisterProxy;
    if (!registration && !creator && command != RegistryText::kDeregister) return true;
    std::vector<std::string> fields;
    if (!RegistryText::splitRequest(text, fields)) return true;  // the registry drops it
    if (creator) {
        return admits(
            peer,
            Change{Permission::RegisterCreator, fields[3], "", {fields[1], fields[2], fields[4]}},
            text, refusal);
    }
    const Permission what = registration ? Permission::Register : Permission::Deregister;
    return admits(peer, Change{what, fields[1], fields[2], {}}, text, refusal);
}

bool RegistryGate::admitsCall(const PeerCredentials& peer, const std::string& interfaceName,
                              const std::string& remoteContext, const std::string& data,
                              std::string& refusal) {
    const bool events = interfaceName == RegistryEventsProtocol::kInterface;
    if (interfaceName != "ServiceRegistryIfc" && !events) return true;
    Method method;
    if (!decodeMethod(adapter, data, method)) return true;  // the invoker refuses it
    const std::string& name = method.getName();
    if (events) {
        if (name != RegistryEventsProtocol::kWatch) return true;
        std::string reason;
        if (admits(peer, Change{Permission::Subscribe, "", remoteContext, {}}, "watch", reason)) {
            return true;
        }
        refusal = refusedReply(name, reason);
        return false;
    }
    const std::string ifc = inputOf(method, "ifc");
    Change change{Permission::Register, ifc, inputOf(method, "chanName"), {}};
    if (name == "deregisterSvcInterfaces") {
        change.what = Permission::Deregister;
    } else if (name == "registerProxyInfo" || name == "registerInvokerInfo") {
        change = Change{
            Permission::RegisterCreator,
            ifc,
            "",
            {inputOf(method, "lib"), inputOf(method, "creatorFn"), inputOf(method, "protocol")}};
    } else if (name == "subscribeStartupEvents") {
        change = Change{Permission::Subscribe, "", remoteContext, {}};
    } else if (name != "registerSvcInterface") {
        return true;  // a lookup, or an unsubscription
    }
    std::string reason;
    if (admits(peer, change, name + "(" + ifc + ")", reason)) return true;
    refusal = refusedReply(name, reason);
    return false;
}

bool RegistryGate::admits(const PeerCredentials& peer, const Change& change,
                          const std::string& request, std::string& reason) {
    reason = refusalOf(peer, change);
    if (reason.empty()) return true;
    HOST_FAILURE("Refused '%s' from %s: %s", request.substr(0, kLoggedRequestLength).c_str(),
                 peer.describe().c_str(), reason.c_str());
    return false;
}

// The names are counted before they are taken apart, so that a request of millions of them
// costs nothing before it is refused.
std::string RegistryGate::refusalOf(const PeerCredentials& peer, const Change& change) {
    if (change.what == Permission::Subscribe) {
        if (!policy.permits(peer, Permission::Subscribe, "")) return "may not subscribe";
        if (change.channel.empty()) return "names no channel to announce new interfaces to";
        return usage.addSubscriber(peer.uid, change.channel);
    }
    if (change.what == Permission::Register && (change.names.empty() || change.channel.empty())) {
        return std::string();  // the registry refuses it: nothing to count
    }
    const std::size_t count = std::count(change.names.begin(), change.names.end(), ' ') + 1;
    if (count > quotas.entriesPerUser) {
        return "names " + std::to_string(count) + " interfaces, more than the " +
               std::to_string(quotas.entriesPerUser) + " one user may register";
    }
    const std::vector<std::string> names = RegistryText::splitAt(change.names, ' ');
    std::string refused = permitted(peer, change, names);
    return refused.empty() ? counted(peer, change, names) : refused;
}

std::string RegistryGate::permitted(const PeerCredentials& peer, const Change& change,
                                    const std::vector<std::string>& names) const {
    std::vector<const std::string*> named{&change.channel};
    for (const std::string& part : change.creator) named.push_back(&part);
    for (const std::string& name : names) named.push_back(&name);
    for (const std::string* name : named) {
        if (name->size() > quotas.nameLength) return tooLong(*name, quotas.nameLength);
    }
    for (const std::string& ifc : names) {
        if (!policy.permits(peer, change.what, ifc)) {
            return std::string("may not ") + verbOf(change.what) + " '" + ifc + "'";
        }
    }
    return std::string();
}

std::string RegistryGate::counted(const PeerCredentials& peer, const Change& change,
                                  const std::vector<std::string>& names) {
    switch (change.what) {
        case Permission::Register:
            return usage.addEntries(peer.uid, names, change.channel);
        case Permission::Deregister:
            return usage.removeEntries(
                peer.uid, names, change.channel, [&](const std::string& ifc) {
                    return policy.permits(peer, Permission::DeregisterAny, ifc);
                });
        case Permission::RegisterCreator:
            return usage.addCreator(peer.uid, change.creator[0], change.creator[1], change.names,
                                    change.creator[2]);
        default:
            return std::string();
    }
}

void RegistryGate::adopt(const std::vector<JournalRecord>& records) {
    for (const JournalRecord& record : records) {
        const std::vector<std::string>& f = record.fields;
        if (record.kind == JournalRecord::Kind::Register) {
            usage.addEntries(record.owner, RegistryText::splitAt(f[0], ' '), f[1]);
        } else if (record.kind == JournalRecord::Kind::Proxy ||
                   record.kind == JournalRecord::Kind::Invoker) {
            usage.addCreator(record.owner, f[0], f[1], f[2], f[3]);
        }
    }
}

void RegistryGate::entriesRemoved(const std::vector<ServiceRecord>& entries) {
    for (const ServiceRecord& entry : entries) {
        usage.removeEntries(0, {entry.ifc}, entry.channel, [](const std::string&) { return true; });
    }
}

std::string RegistryGate::refusedReply(const std::string& methodName, const std::string& reason) {
    Method reply(methodName, Method::REPLY);
    reply.addBoolParameter("result", false, Parameter::OUT);
    reply.addStringParameter(kRefusalParameter, reason, Parameter::OUT);
    return encodeMethod(adapter, reply);
}

}  // namespace svcreg
