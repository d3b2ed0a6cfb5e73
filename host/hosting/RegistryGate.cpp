#include "RegistryGate.h"

#include <unistd.h>

#include <sstream>
#include <string_view>

#include "HostLog.h"
#include "Method.h"
#include "ProtocolAdapter.h"
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

}  // namespace

RegistryGate::RegistryGate(AccessPolicy policy, gid_t accessGroup, std::string accessGroupName,
                           ProtocolAdapter& adapter)
    : policy(std::move(policy)),
      accessGroup(accessGroup),
      accessGroupName(std::move(accessGroupName)),
      adapter(adapter) {}

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
bool RegistryGate::admitsMessage(const PeerCredentials& peer, const std::string& text) {
    const std::string_view command = std::string_view(text).substr(0, text.find(':'));
    const bool registration = command == RegistryText::kRegister;
    const bool creator =
        command == RegistryText::kRegisterInvoker || command == RegistryText::kRegisterProxy;
    if (!registration && !creator && command != RegistryText::kDeregister) return true;
    std::vector<std::string> fields;
    if (!RegistryText::splitRequest(text, fields)) return true;  // the registry drops it
    if (creator) return admits(peer, Change{Permission::RegisterCreator, {fields[3]}, ""}, text);
    const Permission what = registration ? Permission::Register : Permission::Deregister;
    return admits(peer, Change{what, RegistryText::splitAt(fields[1], ' '), fields[2]}, text);
}

bool RegistryGate::admitsCall(const PeerCredentials& peer, const std::string& interfaceName,
                              const std::string& data, std::string& refusal) {
    if (interfaceName != "ServiceRegistryIfc") return true;
    std::stringstream in(data, std::ios::in | std::ios::out);
    Method method;
    if (!adapter.decode(in, method)) return true;  // the invoker refuses it
    const std::string& name = method.getName();
    const std::string ifc = inputOf(method, "ifc");
    Change change{Permission::Register, RegistryText::splitAt(ifc, ' '),
                  inputOf(method, "chanName")};
    if (name == "deregisterSvcInterfaces") {
        change.what = Permission::Deregister;
    } else if (name == "registerProxyInfo" || name == "registerInvokerInfo") {
        change = Change{Permission::RegisterCreator, {ifc}, ""};
    } else if (name == "subscribeStartupEvents") {
        change = Change{Permission::Subscribe, {}, ""};
    } else if (name != "registerSvcInterface") {
        return true;  // a lookup, or an unsubscription
    }
    if (admits(peer, change, name + "(" + ifc + ")")) return true;
    refusal = refusalOf(name);
    return false;
}

bool RegistryGate::admits(const PeerCredentials& peer, const Change& change,
                          const std::string& request) {
    const std::vector<std::string> checked =
        change.what == Permission::Subscribe ? std::vector<std::string>{""} : change.ifcs;
    for (const std::string& ifc : checked) {
        if (policy.permits(peer, change.what, ifc)) continue;
        refuse(peer, request, std::string("may not ") + verbOf(change.what) + " '" + ifc + "'");
        return false;
    }
    if (change.what != Permission::Register && change.what != Permission::Deregister) {
        return true;
    }
    std::string othersEntry;
    {
        MutexLock hold(mutex);
        if (change.what == Permission::Register) {
            for (const std::string& ifc : change.ifcs)
                owners[{ifc, change.channel}].insert(peer.uid);
            return true;
        }
        othersEntry = othersEntryIn(peer, change);
        if (othersEntry.empty()) {
            for (const std::string& ifc : change.ifcs) owners.erase({ifc, change.channel});
            return true;
        }
    }
    refuse(peer, request, othersEntry);
    return false;
}

std::string RegistryGate::othersEntryIn(const PeerCredentials& peer, const Change& change) {
    for (const std::string& ifc : change.ifcs) {
        auto found = owners.find({ifc, change.channel});
        if (found == owners.end()) continue;
        for (const uid_t owner : found->second) {
            if (owner == peer.uid || policy.permits(peer, Permission::DeregisterAny, ifc)) continue;
            return "interface '" + ifc + "' at channel '" + change.channel +
                   "' was registered by uid " + std::to_string(static_cast<long>(owner));
        }
    }
    return std::string();
}

void RegistryGate::refuse(const PeerCredentials& peer, const std::string& request,
                          const std::string& reason) {
    HOST_FAILURE("Refused '%s' from %s: %s", request.substr(0, kLoggedRequestLength).c_str(),
                 peer.describe().c_str(), reason.c_str());
}

std::string RegistryGate::refusalOf(const std::string& methodName) {
    Method reply(methodName, Method::REPLY);
    reply.addBoolParameter("result", false, Parameter::OUT);
    std::stringstream out(std::ios::in | std::ios::out);
    adapter.encode(reply, out);
    return out.str();
}

}  // namespace svcreg
